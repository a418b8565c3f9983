#include "LoginWidget.h"
#include "ui_LoginWidget.h"

#include "app/AboutDialog.h"
#include "config/AppContext.h"
#include "courseware/CoursewareSelect.h"
#include "net/ServiceRequest.h"

#include <QDebug>
#include <QJsonObject>
#include <QJsonValue>
#include <QMessageBox>
#include <QPalette>
#include <QShortcut>
#include <QTimer>
#include <QVariantMap>

LoginWidget::LoginWidget(QWidget *parent) : QWidget(parent), ui(new Ui::LoginWidget)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Corvin助手"));
    ui->lineEdit_2->setEchoMode(QLineEdit::Password);

    QPalette palette;
    palette.setColor(QPalette::WindowText, Qt::red);
    ui->error_tip->setPalette(palette);
    // The label also shows raw reply texts: never let the service's markup be rendered.
    ui->error_tip->setTextFormat(Qt::PlainText);

    Qt::WindowFlags flags = windowFlags();
    flags &= ~(Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint);
    setWindowFlags(flags);

    connect(ui->pushButton, &QPushButton::clicked, this, &LoginWidget::on_pushButton_clicked);
    connect(this, &LoginWidget::login_ok, this, &LoginWidget::on_login_ok);
    connect(ui->aboutButton, &QPushButton::clicked, this, &LoginWidget::on_aboutButton_clicked);
    // F1 is where a teacher, or a support engineer on the phone, looks for help.
    auto *help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &LoginWidget::on_aboutButton_clicked);
}

LoginWidget::~LoginWidget()
{
    delete ui;
}

void LoginWidget::on_pushButton_clicked()
{
    int channel = -1;
    if (ui->radioButton_atrium->isChecked())
        channel = 0;
    if (ui->radioButton_brightHall->isChecked())
        channel = 1;
    if (channel == -1) {
        ui->error_tip->setText(QStringLiteral("请选择渠道！"));
        return;
    }

    ui->pushButton->setEnabled(false);
    AppContext &context = AppContext::instance();
    context.channelId = channel;

    const QString userName = ui->lineEdit->text();
    const QString password = ui->lineEdit_2->text();
    QJsonObject body;
    body.insert(QStringLiteral("username"), userName);
    body.insert(QStringLiteral("password"), password);
    context.userName = userName;

    ServiceRequest::post(QStringLiteral("/clb/action/login"), body, this, &LoginWidget::on_login);
}

void LoginWidget::on_login(QString body)
{
    qDebug() << "[LoginWidget][on_login]";

    QJsonObject reply;
    if (!ServiceRequest::parseReply(body, &reply)) {
        focusAfterFailure(false);
        // A web page (a portal's, a proxy's, a gateway's) or nothing at all: the cause, never the
        // page's markup.
        ui->error_tip->setText(ServiceRequest::outcomeOf(sender(), body).shownText(body));
        return;
    }
    if (!reply.contains(QLatin1String("code"))) {
        focusAfterFailure(false);
        ui->error_tip->setText(QStringLiteral("请联系运维人员"));
        return;
    }
    // Lenient on purpose: a code that is not an integral number reads as 0.
    const int code = reply.value(QLatin1String("code")).toInt(0);
    qDebug() << " code : " << code;
    if (code != 0) {
        focusAfterFailure(true);
        ui->error_tip->setText(QStringLiteral("用户名或密码错误!"));
        return;
    }

    const QVariantMap result = reply.toVariantMap().value(QStringLiteral("result")).toMap();
    AppContext &context = AppContext::instance();
    context.setToken(result.value(QStringLiteral("token")).toString());
    context.managerId = result.value(QStringLiteral("managerID")).toString();

    getCurrentLesson();
}

void LoginWidget::getCurrentLesson()
{
    const AppContext &context = AppContext::instance();
    QJsonObject body;
    body.insert(QStringLiteral("channelId"), context.channelId);
    body.insert(QStringLiteral("teacherID"), context.managerId);
    ServiceRequest::post(QStringLiteral("/clb/class/getCurrentLesson"), body, this,
                         &LoginWidget::on_check_lesson);
}

void LoginWidget::on_check_lesson(QString body)
{
    qDebug() << "[LoginWidget][on_check_lesson]";

    QJsonObject reply;
    if (ServiceRequest::parseReply(body, &reply)) {
        if (reply.value(QLatin1String("success")).toBool(false)) {
            emit login_ok();
            return;
        }
        QMessageBox::information(this, QStringLiteral("提示"),
                                 QStringLiteral("未检测到相关课程，请确认渠道等相关信息"),
                                 QMessageBox::Ok, QMessageBox::NoButton);
    } else {
        const RequestOutcome outcome = ServiceRequest::outcomeOf(sender(), body);
        if (outcome.tellsFailure(body))
            ui->error_tip->setText(QStringLiteral("课程查询失败：") + outcome.message());
    }
    focusAfterFailure(false);
}

void LoginWidget::focusAfterFailure(bool wrongPassword)
{
    ui->pushButton->setEnabled(true);
    QWidget *next = wrongPassword ? static_cast<QWidget *>(ui->lineEdit_2) : ui->pushButton;
    // Queued: the callers set the message after this call. A screen reader speaks the
    // description of the control that takes the focus, so the message is read out with it.
    QTimer::singleShot(0, next, [this, next] {
        ui->lineEdit_2->setAccessibleDescription(QString());
        ui->pushButton->setAccessibleDescription(QString());
        next->setAccessibleDescription(ui->error_tip->text());
        next->setFocus(Qt::OtherFocusReason);
    });
}

void LoginWidget::on_aboutButton_clicked()
{
    AboutDialog about(this);
    about.exec();
}

void LoginWidget::on_login_ok()
{
    hide();
    // The new window records itself in AppContext::selectWindow; that is its only reference.
    auto *select = new CoursewareSelect(nullptr);
    select->showNormal();
}
