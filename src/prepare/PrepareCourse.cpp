#include "PrepareCourse.h"
#include "ui_PrepareCourse.h"

#include "config/AppContext.h"
#include "config/StudentClient.h"
#include "courseware/CoursewareList.h"
#include "courseware/CoursewareSelect.h"
#include "net/ServiceRequest.h"
#include "util/ProcessProbe.h"

#include <QAbstractButton>
#include <QDebug>
#include <QEventLoop>
#include <QJsonObject>
#include <QMessageBox>
#include <QPalette>
#include <QProcess>
#include <QStringList>
#include <QtConcurrent>

#include <cstdlib>

namespace {

// The running and the confirm box have a title but no close button.
const Qt::WindowFlags clientBoxFlags
        = Qt::WindowTitleHint | Qt::Dialog | Qt::WindowMaximizeButtonHint | Qt::CustomizeWindowHint;

// How long a confirmed start keeps the program for the seat request's reply. The client is
// already running by then, so the teacher waits for nothing.
const int seatReplyWaitMs = 3000;

} // namespace

PrepareCourse::PrepareCourse(QString displayName, CoursewareList *list, QWidget *parent)
    : QWidget(parent), ui(new Ui::PrepareCourse), coursewareList(list), displayName(displayName)
{
    ui->setupUi(this);
    // It takes the place of the progress bar, which the failure hides.
    ui->reason->hide();
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint & ~Qt::WindowMinimizeButtonHint);
    setWindowTitle(QStringLiteral(" Corvin助手"));

    connect(ui->pushButton, &QPushButton::clicked, this, &PrepareCourse::on_pushButton_clicked);
    connect(&timer, &QTimer::timeout, this, &PrepareCourse::on_timer);
    timer.start(100);

    // 0 of 10 until the copy has set the real number: the two counts differ until then.
    AppContext &context = AppContext::instance();
    context.totalFiles = 10;
    context.copiedFiles = 0;

    ui->pushButton->setEnabled(false);

    watcher = new QFutureWatcher<void>();
    connect(watcher, &QFutureWatcher<void>::finished, this, &PrepareCourse::on_ImportFileFinished);
    watcher->setFuture(QtConcurrent::run(this, &PrepareCourse::on_CopyCourseware));
}

PrepareCourse::~PrepareCourse()
{
    // The copy task reads this window's members: it has to end before they go.
    if (watcher) {
        watcher->waitForFinished();
        delete watcher;
    }
    delete ui;
}

void PrepareCourse::closeEvent(QCloseEvent *event)
{
    timer.stop();
    QWidget::closeEvent(event);
}

void PrepareCourse::on_CopyCourseware()
{
    qDebug() << "[PrepareCourse][on_copy]";
    qDebug() << displayName;
    if (coursewareList)
        coursewareList->copyToLocal(displayName, &copyFailure);
}

void PrepareCourse::on_ImportFileFinished()
{
    watcher->deleteLater();
    watcher = nullptr;
}

void PrepareCourse::on_timer()
{
    AppContext &context = AppContext::instance();
    const int total = context.totalFiles;
    const int copied = context.copiedFiles;
    ui->progressBar->setRange(0, total);
    ui->progressBar->setValue(copied);
    if (total != copied)
        return;
    // Equal counts while the copy still runs (it resets them first) decide nothing yet:
    // resourcesReady is final only once the task has ended.
    if (watcher && !watcher->isFinished())
        return;

    ui->pushButton->setEnabled(true);
    // Whichever way it ends, the button is the teacher's next step; without a mouse the window
    // has no focus at all until then.
    ui->pushButton->setFocus(Qt::OtherFocusReason);
    if (context.resourcesReady) {
        QPalette palette;
        palette.setColor(QPalette::WindowText, Qt::black);
        ui->label->setPalette(palette);
        ui->label->setText(QStringLiteral("Corvin准备完成"));
        timer.stop();
        replaceClassStudent();
    } else {
        const QString indent(31, QLatin1Char(' '));
        ui->label->setText(indent + QStringLiteral("Corvin准备失败，请重试!"));
        QPalette palette;
        palette.setColor(QPalette::WindowText, Qt::red);
        ui->label->setPalette(palette);
        ui->progressBar->setVisible(false);
        // Under the failure text, starting where it starts: the first cause and what to do.
        const QString advice = copyFailure.advice();
        qDebug() << "[PrepareCourse][on_timer]"
                 << "准备失败:" << advice;
        ui->reason->setContentsMargins(ui->label->fontMetrics().horizontalAdvance(indent), 0, 0, 0);
        ui->reason->setPalette(palette);
        ui->reason->setText(advice);
        ui->reason->setVisible(!advice.isEmpty());
        ui->pushButton->setText(QStringLiteral("重试"));
        failed = true;
        timer.stop();
    }
}

void PrepareCourse::on_pushButton_clicked()
{
    if (!failed) {
        StartClient();
        return;
    }
    if (CoursewareSelect *select = AppContext::instance().selectWindow)
        select->show();
    close();
}

void PrepareCourse::replaceClassStudent()
{
    qDebug() << "[PrepareCourse][replaceClassStudent]";
    AppContext &context = AppContext::instance();
    const QString masterTeacherId
            = coursewareList ? coursewareList->getTeacherId(displayName) : QString();
    QJsonObject body;
    body.insert(QStringLiteral("teacherId"), context.managerId);
    body.insert(QStringLiteral("masterTeacherId"), masterTeacherId);
    body.insert(QStringLiteral("channelId"), context.channelId);

    ServiceRequest::post(QStringLiteral("/clb/class/replaceClassStudent"), body, this,
                         &PrepareCourse::on_replaceClassStudent);
    seatReplyPending = true;
}

void PrepareCourse::on_replaceClassStudent(QString body)
{
    qDebug() << body;
    seatReplyPending = false;
    // The client still starts, but the teacher may not get into the class: say why here.
    const RequestOutcome outcome = ServiceRequest::outcomeOf(sender(), body);
    if (outcome.tellsFailure(body) && !failed) {
        QPalette palette;
        palette.setColor(QPalette::WindowText, Qt::red);
        ui->reason->setContentsMargins(0, 0, 0, 0);
        ui->reason->setPalette(palette);
        ui->reason->setText(QStringLiteral("入座请求失败：") + outcome.message());
        // The copy is done (the text above says so): the reason takes the bar's place.
        ui->progressBar->hide();
        ui->reason->show();
    }
    if (seatWait)
        seatWait->quit();
}

void PrepareCourse::StartClient()
{
    if (ProcessProbe::isRunning(StudentClient::blockingProcessName())) {
        QMessageBox running(QMessageBox::NoIcon, QStringLiteral("Corvin助手"),
                            QStringLiteral(" 请手动关闭学生端"), QMessageBox::Ok);
        running.setWindowFlags(clientBoxFlags);
        running.setDefaultButton(QMessageBox::Ok);
        // Set here: no Qt translation is loaded, the standard texts would read OK/Cancel.
        running.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
        running.exec();
        return;
    }

    QMessageBox confirm(QMessageBox::NoIcon, QStringLiteral("Corvin助手"),
                        QStringLiteral(" 学生端即将启动"), QMessageBox::Ok | QMessageBox::Cancel);
    confirm.setWindowFlags(clientBoxFlags);
    confirm.setDefaultButton(QMessageBox::Ok);
    confirm.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    confirm.button(QMessageBox::Cancel)->setText(QStringLiteral("取消"));
    switch (confirm.exec()) {
    case QMessageBox::Ok: {
        qDebug() << "ok";
        const QString path = AppContext::instance().clientExecutablePath();
        qDebug() << path;
        if (!QProcess::startDetached(path, QStringList())) {
            // Ending here would leave the teacher with neither program: stay in Ready.
            qDebug() << "[PrepareCourse][StartClient]"
                     << "学生端启动失败:" << path;
            QMessageBox::information(this, QStringLiteral("提示"),
                                     QStringLiteral("学生端启动失败，请确认学生端已正确安装"));
            return;
        }
        // The client runs already. Ending at once could drop the seat request, sent on entering
        // Ready, before it has left this machine, and the teacher could not enter the class; so
        // the end waits a little for its reply.
        if (seatReplyPending) {
            ui->pushButton->setEnabled(false);
            QEventLoop loop;
            seatWait = &loop;
            QTimer::singleShot(seatReplyWaitMs, &loop, &QEventLoop::quit);
            loop.exec();
            seatWait = nullptr;
        }
        exit(0);
    }
    case QMessageBox::Cancel:
        qDebug() << "cancel";
        break;
    default:
        qDebug() << "default";
        break;
    }
}
