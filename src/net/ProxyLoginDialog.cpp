#include "ProxyLoginDialog.h"
#include "ui_ProxyLoginDialog.h"

#include <QPushButton>

ProxyLoginDialog::ProxyLoginDialog(const QString &proxy, QWidget *parent)
    : QDialog(parent), ui(new Ui::ProxyLoginDialog)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("代理服务器登录"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    ui->prompt->setText(QStringLiteral("代理服务器 %1 需要登录").arg(proxy));
    ui->buttonBox->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    ui->buttonBox->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

ProxyLoginDialog::~ProxyLoginDialog()
{
    delete ui;
}

QString ProxyLoginDialog::user() const
{
    return ui->user->text();
}

QString ProxyLoginDialog::password() const
{
    return ui->password->text();
}
