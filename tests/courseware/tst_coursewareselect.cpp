#include "config/AppContext.h"
#include "courseware/CoursewareSelect.h"
#include "net/SimpleHttpPost.h"
#include "prepare/PrepareCourse.h"

#include "CoursewareFixture.h"
#include "MalformedBodies.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#endif

using namespace CoursewareFixture;
using TestSupport::MessageCapture;

namespace {
const QString listPath = QStringLiteral("/platform/room/findDLCoursewareInfo");
const QString waitingText = QStringLiteral("课件检测中，请稍后...");
const QString failedText = QStringLiteral("课件列表获取失败，请检查网络后重新登录");
const QString nothingText = QStringLiteral("请确认已在配课系统开班并且课件已分发");
} // namespace

class tst_CoursewareSelect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formAndWaitingState();
    void listRequestBody_data();
    void listRequestBody();
    void twoOfThreePass();
    void nonePasses();
    void listReplyNotJson();
    void malformedListReplies_data();
    void malformedListReplies();
    void failedListRequest_data();
    void failedListRequest();
    void startButton();
    void progressWhileChecking();

private:
    // Three courseware of the demo device; `goodCount` of them have correct digests on disk.
    void prepareCourseware(int goodCount);
    void setClientVersion(const QString &client, const QString &version);

    StandInServer server;
    QTemporaryDir temp;
    QScopedPointer<QTemporaryDir> appData;
    QScopedPointer<CoursewareSelect> window;
};

void tst_CoursewareSelect::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(temp.isValid());
}

void tst_CoursewareSelect::init()
{
    appData.reset(new QTemporaryDir);
    QVERIFY(appData->isValid());
    qputenv("APPDATA", QFile::encodeName(appData->path()));
    AppContext::instance().channelId = 0;
    TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), server.baseUrl()},
                              {QStringLiteral("Server/devID"), QStringLiteral("DEV-1")}});
}

void tst_CoursewareSelect::cleanup()
{
    window.reset();
    AppContext::instance().selectWindow = nullptr;
    AppContext::instance().channelId = -1;
    SimpleHttpPost::setTransferTimeout(SimpleHttpPost::defaultTransferTimeout);
    server.clearScripts();
    server.clearRequests();
    server.setScenario(QJsonObject());
}

void tst_CoursewareSelect::setClientVersion(const QString &client, const QString &version)
{
    QVERIFY(writeFile(appData->path() + QLatin1Char('/') + client + QStringLiteral("/config.ini"),
                      "[Server]\nversion=" + version.toUtf8() + "\n"));
}

void tst_CoursewareSelect::prepareCourseware(int goodCount)
{
    const QString root = temp.path() + QStringLiteral("/dl-")
            + QString::fromLatin1(QTest::currentTestFunction());
    QJsonArray entries;
    QJsonObject resources;
    const QStringList names {QStringLiteral("Fractions"), QStringLiteral("Decimals"),
                             QStringLiteral("Angles")};
    // The failing ones are the first in the list, so the offered ones keep their order.
    for (int i = 0; i < 3; ++i) {
        const QString id = QStringLiteral("CW%1").arg(i);
        const QByteArray flow = "<flow id=\"" + id.toUtf8() + "\"/>";
        const QByteArray image(5000, char('p' + i));
        QVERIFY(writeFile(QStringLiteral("%1/%2/4/xml/main.xml").arg(root, id), flow));
        QVERIFY(writeFile(QStringLiteral("%1/%2/4/image/a.png").arg(root, id), image));
        const bool good = i >= 3 - goodCount;
        resources.insert(id + QStringLiteral("/4"),
                         resourceList({element(QStringLiteral("xml/main.xml"), md5Hex(flow))},
                                      {element(QStringLiteral("image/a.png"),
                                               md5Hex(good ? image : QByteArray("damaged")),
                                               QStringLiteral("image"))}));
        entries.append(coursewareEntry(id, 4, names.at(i), root));
    }
    server.setScenario(QJsonObject {
            {QStringLiteral("devices"), QJsonObject {{QStringLiteral("DEV-1"), entries}}},
            {QStringLiteral("resources"), resources}});
}

void tst_CoursewareSelect::formAndWaitingState()
{
    ScriptedReply never;
    never.neverAnswer = true;
    server.script(listPath, never);

    window.reset(new CoursewareSelect);
    CoursewareSelect *w = window.data();
    QCOMPARE(AppContext::instance().selectWindow, w);
    QCOMPARE(w->objectName(), QStringLiteral("CoursewareSelect"));
    QCOMPARE(w->windowTitle(), QStringLiteral(" Corvin助手"));
    QCOMPARE(w->size(), QSize(640, 480));
    QVERIFY(!(w->windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));

    auto *combo = w->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *label = w->findChild<QLabel *>(QStringLiteral("label"));
    auto *button = w->findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *tip = w->findChild<QLabel *>(QStringLiteral("error_tip"));
    QVERIFY(combo && label && button && tip);
    QCOMPARE(combo->geometry(), QRect(170, 130, 361, 31));
    QCOMPARE(label->geometry(), QRect(90, 130, 71, 31));
    QCOMPARE(button->geometry(), QRect(220, 290, 181, 51));
    QCOMPARE(tip->geometry(), QRect(190, 200, 261, 20));
    QCOMPARE(label->text(), QStringLiteral("请选择课次"));
    QCOMPARE(button->text(), QStringLiteral("开始Corvin"));
    QCOMPARE(tip->alignment(), Qt::AlignCenter);
    QCOMPARE(tip->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(tip->text(), waitingText);
    QCOMPARE(combo->count(), 0);
    QVERIFY(!button->isEnabled());
    QTRY_COMPARE(server.requests(listPath).size(), 1);
    // Still waiting while the service holds the answer back.
    QCOMPARE(tip->text(), waitingText);
    QVERIFY(!button->isEnabled());
}

void tst_CoursewareSelect::listRequestBody_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("override");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("no version") << 0 << QString() << QString() << true
                                << QByteArray("{\"channelId\":0,\"devId\":\"DEV-1\"}");
    QTest::newRow("heron version") << 0 << QStringLiteral("heron") << QStringLiteral("1.2") << true
                                   << QByteArray("{\"channelId\":0,\"clientVersion\":\"1.2\","
                                                 "\"devId\":\"DEV-1\"}");
    QTest::newRow("atrium version")
            << 1 << QStringLiteral("atrium") << QStringLiteral("0.9.8") << true
            << QByteArray("{\"channelId\":1,\"clientVersion\":\"0.9.8\","
                          "\"devId\":\"DEV-1\"}");
    QTest::newRow("no device id") << 1 << QString() << QString() << false
                                  << QByteArray("{\"channelId\":1,\"devId\":\"\"}");
}

void tst_CoursewareSelect::listRequestBody()
{
    QFETCH(int, channel);
    QFETCH(QString, client);
    QFETCH(QString, version);
    QFETCH(bool, override);
    QFETCH(QByteArray, body);

    if (!client.isEmpty())
        setClientVersion(client, version);
    if (!override)
        TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), server.baseUrl()}});
    AppContext::instance().channelId = channel;

    MessageCapture capture;
    window.reset(new CoursewareSelect);
    QTRY_COMPARE(server.requests(listPath).size(), 1);
    const RecordedRequest request = server.requests(listPath).first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.body, body);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    // The log line shows the registry value (none here), not the override.
    QVERIFY(capture.contains(QStringLiteral("[CoursewareSelect][CoursewareSelect] devID: \"\"")));
}

void tst_CoursewareSelect::twoOfThreePass()
{
    prepareCourseware(2);
    window.reset(new CoursewareSelect);
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *tip = window->findChild<QLabel *>(QStringLiteral("error_tip"));
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QStringLiteral("Decimals_4"));
    QCOMPARE(combo->itemText(1), QStringLiteral("Angles_4"));
    QVERIFY(!combo->itemData(0).isValid());
    QCOMPARE(combo->currentText(), QStringLiteral("Decimals_4"));
    QCOMPARE(tip->text(), QString());
    QCOMPARE(button->text(), QStringLiteral("开始Corvin"));
    QCOMPARE(server.requests(QStringLiteral("/platform/room/getCoursewareResource")).size(), 3);
}

void tst_CoursewareSelect::nonePasses()
{
    prepareCourseware(0);
    window.reset(new CoursewareSelect);
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *tip = window->findChild<QLabel *>(QStringLiteral("error_tip"));
    QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 1, 15000);
    QCOMPARE(combo->itemText(0), QStringLiteral("无"));
    QCOMPARE(button->text(), QStringLiteral("确定"));
    QVERIFY(!button->isEnabled());
    QCOMPARE(tip->text(), nothingText);
}

void tst_CoursewareSelect::listReplyNotJson()
{
    ScriptedReply reply;
    reply.body = "<html>502 Bad Gateway</html>";
    reply.contentType = "text/html";
    reply.status = 502;
    server.script(listPath, reply);
    window.reset(new CoursewareSelect);
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *tip = window->findChild<QLabel *>(QStringLiteral("error_tip"));
    // A body that is there but unusable is an empty list, not a failed request.
    QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 1, 15000);
    QCOMPARE(combo->itemText(0), QStringLiteral("无"));
    QCOMPARE(tip->text(), nothingText);
    QCOMPARE(button->text(), QStringLiteral("确定"));
    QVERIFY(!button->isEnabled());
}

void tst_CoursewareSelect::malformedListReplies_data()
{
    MalformedBodies::addRows();
}

// An empty body is a failed request; any other bad body reads as a list without usable courseware.
void tst_CoursewareSelect::malformedListReplies()
{
    QFETCH(QByteArray, body);
    ScriptedReply reply;
    reply.body = body;
    server.script(listPath, reply);
    window.reset(new CoursewareSelect);
    window->showNormal();
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *tip = window->findChild<QLabel *>(QStringLiteral("error_tip"));
    if (body.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(tip->text(), failedText, 15000);
        QCOMPARE(combo->count(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 1, 15000);
        QCOMPARE(combo->itemText(0), QStringLiteral("无"));
        QCOMPARE(tip->text(), nothingText);
        QCOMPARE(button->text(), QStringLiteral("确定"));
    }
    QCOMPARE(tip->palette().color(QPalette::WindowText), QColor(Qt::red));
    QVERIFY(!button->isEnabled());
    QVERIFY(window->isVisible());
    // Whatever records the reply made, their resource requests have all been answered.
    QThreadPool::globalInstance()->waitForDone();
}

void tst_CoursewareSelect::failedListRequest_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("neverAnswer");
    QTest::newRow("error status, empty body") << 500 << false;
    QTest::newRow("time-out") << 200 << true;
}

void tst_CoursewareSelect::failedListRequest()
{
    QFETCH(int, status);
    QFETCH(bool, neverAnswer);
    ScriptedReply reply;
    reply.status = status;
    reply.neverAnswer = neverAnswer;
    server.script(listPath, reply);
    SimpleHttpPost::setTransferTimeout(300);

    window.reset(new CoursewareSelect);
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *tip = window->findChild<QLabel *>(QStringLiteral("error_tip"));
    QTRY_COMPARE_WITH_TIMEOUT(tip->text(), failedText, 15000);
    QCOMPARE(tip->palette().color(QPalette::WindowText), QColor(Qt::red));
    QVERIFY(!button->isEnabled());
    QCOMPARE(combo->count(), 0);
    QCOMPARE(button->text(), QStringLiteral("开始Corvin"));
}

void tst_CoursewareSelect::startButton()
{
    prepareCourseware(3);
    // Left alive like in a run: the preparation window keeps a pointer to its list.
    auto *w = new CoursewareSelect;
    w->showNormal();
    auto *combo = w->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = w->findChild<QPushButton *>(QStringLiteral("pushButton"));
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(combo->count(), 3);

    auto prepareWindows = [] {
        QList<PrepareCourse *> found;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *p = qobject_cast<PrepareCourse *>(widget))
                found.append(p);
        }
        return found;
    };
    combo->setCurrentIndex(2);
    QCoreApplication::processEvents();
    // Choosing alone opens nothing.
    QVERIFY(prepareWindows().isEmpty());
    QVERIFY(w->isVisible());

    MessageCapture capture;
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(capture.contains(QStringLiteral("课件选中了: \"Angles_4\"")));
    QVERIFY(!w->isVisible());
    const QList<PrepareCourse *> opened = prepareWindows();
    QCOMPARE(opened.size(), 1);
    QVERIFY(opened.first()->isVisible());
    QCOMPARE(opened.first()->parent(), nullptr);
    QCOMPARE(opened.first()->windowTitle(), QStringLiteral(" Corvin助手"));
    QCOMPARE(AppContext::instance().selectWindow, w);

    // Nothing may still work on the list when the windows go.
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    qDeleteAll(opened);
    delete w;
}

// A file that is a pipe holds the check up until something is written into it: meanwhile the
// waiting text shows how far the check is by bytes.
void tst_CoursewareSelect::progressWhileChecking()
{
#ifndef Q_OS_LINUX
    QSKIP("the check is held up by a named pipe in the download folder, which Linux has");
#else
    const QString root = temp.path() + QStringLiteral("/dl-progress");
    const QByteArray image(1024 * 1024, 'q');
    const QByteArray late = "written late";
    QVERIFY(writeFile(root + QStringLiteral("/CW/4/image/a.png"), image));
    const QString pipe = root + QStringLiteral("/CW/4/image/late.bin");
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    server.setScenario(QJsonObject {
            {QStringLiteral("devices"),
             QJsonObject {{QStringLiteral("DEV-1"),
                           QJsonArray {coursewareEntry(QStringLiteral("CW"), 4,
                                                       QStringLiteral("Slow"), root)}}}},
            {QStringLiteral("resources"),
             QJsonObject {
                     {QStringLiteral("CW/4"),
                      resourceList({},
                                   {element(QStringLiteral("image/a.png"), md5Hex(image)),
                                    element(QStringLiteral("image/late.bin"), md5Hex(late))})}}}});
    window.reset(new CoursewareSelect);
    auto *tip = window->findChild<QLabel *>(QStringLiteral("error_tip"));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
    const QRegularExpression progress(QRegularExpression::escape(waitingText)
                                      + QStringLiteral(" (\\d+)%$"));
    QTRY_VERIFY_WITH_TIMEOUT(progress.match(tip->text()).hasMatch(), 15000);
    QCOMPARE(progress.match(tip->text()).captured(1), QStringLiteral("100"));
    QVERIFY(!button->isEnabled());

    QFile writer(pipe);
    QVERIFY(writer.open(QIODevice::WriteOnly));
    QCOMPARE(writer.write(late), qint64(late.size()));
    writer.close();
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(tip->text(), QString());
#endif
}

QTEST_MAIN(tst_CoursewareSelect)
#include "tst_coursewareselect.moc"
