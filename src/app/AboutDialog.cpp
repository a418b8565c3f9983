#include "AboutDialog.h"
#include "ui_AboutDialog.h"

#include "app/AboutInfo.h"
#include "app/DiagnosticsExport.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent), ui(new Ui::AboutDialog)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("关于 Corvin"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    ui->info->setPlainText(AboutInfo::text());
    ui->withDumps->setAccessibleDescription(ui->dumpNote->text());
    connect(ui->copyButton, &QPushButton::clicked, this, &AboutDialog::on_copyButton_clicked);
    connect(ui->exportButton, &QPushButton::clicked, this, &AboutDialog::on_exportButton_clicked);
    connect(ui->closeButton, &QPushButton::clicked, this, &QDialog::accept);
    if (DiagnosticsExport::allowed()) {
        setExportPath(DiagnosticsExport::defaultPath());
    } else {
        ui->exportButton->setEnabled(false);
        ui->withDumps->setEnabled(false);
        ui->status->setText(QStringLiteral("管理员已关闭诊断信息导出"));
    }
    ui->closeButton->setFocus();
}

AboutDialog::~AboutDialog()
{
    delete ui;
}

void AboutDialog::setExportPath(const QString &path)
{
    exportPath = path;
    ui->status->setText(QStringLiteral("诊断信息将保存到: %1").arg(QDir::toNativeSeparators(path)));
}

void AboutDialog::on_copyButton_clicked()
{
    QApplication::clipboard()->setText(ui->info->toPlainText());
}

void AboutDialog::on_exportButton_clicked()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ui->status->setText(QStringLiteral("正在导出诊断信息..."));
    ui->status->repaint();
    const DiagnosticsExport::Result result
            = DiagnosticsExport::write(exportPath, ui->withDumps->isChecked());
    QApplication::restoreOverrideCursor();
    ui->status->setText(result.ok ? QStringLiteral("诊断信息已保存到: %1")
                                            .arg(QDir::toNativeSeparators(exportPath))
                                  : QStringLiteral("诊断信息导出失败: %1").arg(result.errorString));
}
