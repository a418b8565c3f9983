#include "CoursewareSelect.h"
#include "ui_CoursewareSelect.h"

#include "config/AppContext.h"
#include "config/DeviceIdentity.h"
#include "net/ServiceRequest.h"
#include "prepare/PrepareCourse.h"

#include <QAbstractItemView>
#include <QDebug>
#include <QJsonObject>
#include <QKeySequence>
#include <QListWidgetItem>
#include <QPalette>
#include <QShortcut>

namespace {
const QString waitingText = QStringLiteral("课件检测中，请稍后...");
// At most ten updates a second.
const int progressIntervalMs = 100;
} // namespace

CoursewareSelect::CoursewareSelect(QWidget *parent)
    : QWidget(parent), ui(new Ui::CoursewareSelect), coursewareList(nullptr)
{
    AppContext &context = AppContext::instance();
    context.selectWindow = this;
    ui->setupUi(this);

    QPalette palette;
    palette.setColor(QPalette::WindowText, Qt::red);
    ui->error_tip->setPalette(palette);
    ui->error_tip->setText(waitingText);

    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint & ~Qt::WindowMinimizeButtonHint);
    connect(ui->comboBox, &QComboBox::currentTextChanged, this,
            &CoursewareSelect::on_comboBox_currentTextChanged);
    connect(ui->pushButton, &QPushButton::clicked, this, &CoursewareSelect::on_pushButton_clicked);
    connect(ui->recheckButton, &QPushButton::clicked, this,
            &CoursewareSelect::on_recheckButton_clicked);
    // F5 is where a teacher looks for "refresh".
    auto *refresh = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(refresh, &QShortcut::activated, this, &CoursewareSelect::on_recheckButton_clicked);
    connect(&coursewareList, &CoursewareList::CoursewareResourceListReady, this,
            &CoursewareSelect::on_CoursewareListReady);
    connect(&progressTimer, &QTimer::timeout, this, &CoursewareSelect::showCheckProgress);
    progressTimer.start(progressIntervalMs);
    setWindowTitle(QStringLiteral(" Corvin助手"));
    ui->pushButton->setEnabled(false);
    startText = ui->pushButton->text();
    ui->recheckButton->setEnabled(false);
    ui->failureList->hide();
    // The drop-down list is a widget of its own; a screen reader would call it just "list".
    ui->comboBox->view()->setAccessibleName(ui->label->text());

    requestList();
}

void CoursewareSelect::requestList()
{
    AppContext &context = AppContext::instance();
    const QString reg = DeviceIdentity::registryValue();
    qDebug() << "[CoursewareSelect][CoursewareSelect]"
             << "devID:" << reg;
    const QString devId = DeviceIdentity::applyOverride(reg);

    QJsonObject body;
    body.insert(QStringLiteral("devId"), devId);
    body.insert(QStringLiteral("channelId"), context.channelId);
    const QString version = context.clientVersion();
    if (!version.isEmpty())
        body.insert(QStringLiteral("clientVersion"), version);

    SimpleHttpPost *request = ServiceRequest::create();
    listRequest = request;
    connect(request, &SimpleHttpPost::onResponse, &coursewareList,
            &CoursewareList::on_get_coursewarelist);
    connect(request, &SimpleHttpPost::onResponse, this, &CoursewareSelect::checkListReply);
    ServiceRequest::send(request, QStringLiteral("/platform/room/findDLCoursewareInfo"), body);
}

void CoursewareSelect::on_recheckButton_clicked()
{
    if (checking)
        return;
    if (!coursewareList.startOver()) {
        qDebug() << "[CoursewareSelect][on_recheckButton_clicked]"
                 << "复制进行中, 不重新检测";
        return;
    }
    qDebug() << "[CoursewareSelect][on_recheckButton_clicked]"
             << "重新检测";
    if (listRequest) {
        disconnect(listRequest, nullptr, &coursewareList, nullptr);
        disconnect(listRequest, nullptr, this, nullptr);
    }
    // The waiting state of a first check; the combo box is then filled anew, not appended to.
    checking = true;
    ui->comboBox->clear();
    ui->error_tip->setText(waitingText);
    ui->pushButton->setText(startText);
    ui->pushButton->setEnabled(false);
    ui->recheckButton->setEnabled(false);
    ui->failureList->clear();
    ui->failureList->hide();
    progressTimer.start(progressIntervalMs);
    requestList();
}

void CoursewareSelect::checkEnded()
{
    progressTimer.stop();
    checking = false;
    ui->recheckButton->setEnabled(true);
}

CoursewareSelect::~CoursewareSelect()
{
    delete ui;
}

void CoursewareSelect::checkListReply(QString &body)
{
    // A failed request: the list will never report, so waiting on would leave the teacher
    // without any hint.
    const RequestOutcome outcome = ServiceRequest::outcomeOf(sender(), body);
    if (!outcome.tellsFailure(body))
        return;
    checkEnded();
    ui->error_tip->setText(QStringLiteral("课件列表获取失败：") + outcome.message());
    ui->pushButton->setEnabled(false);
}

void CoursewareSelect::on_comboBox_currentTextChanged(const QString &text)
{
    Q_UNUSED(text)
}

void CoursewareSelect::showCheckProgress()
{
    const int percent = coursewareList.checkPercent();
    if (percent >= 0)
        ui->error_tip->setText(waitingText + QStringLiteral(" %1%").arg(percent));
}

void CoursewareSelect::on_CoursewareListReady()
{
    checkEnded();
    const QStringList names = coursewareList.getReadyCoursewareNames();
    if (!names.isEmpty()) {
        for (const QString &name : names)
            ui->comboBox->addItem(name);
        ui->error_tip->setText(QString());
        ui->pushButton->setEnabled(true);
    } else {
        ui->comboBox->addItem(QStringLiteral("无"));
        ui->error_tip->setText(QStringLiteral("请确认已在配课系统开班并且课件已分发"));
        ui->pushButton->setText(QStringLiteral("确定"));
    }

    const QStringList failures = coursewareList.failures();
    ui->failureList->clear();
    for (const QString &line : failures) {
        auto *item = new QListWidgetItem(line, ui->failureList);
        // A long name scrolls sideways; the tip shows the whole line.
        item->setToolTip(line);
    }
    ui->failureList->setVisible(!failures.isEmpty());
}

void CoursewareSelect::on_pushButton_clicked()
{
    const QString name = ui->comboBox->currentText();
    qDebug() << "课件选中了:" << name;
    hide();
    auto *prepare = new PrepareCourse(name, &coursewareList, nullptr);
    prepare->showNormal();
}
