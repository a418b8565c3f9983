#include "config/AppContext.h"
#include "courseware/CoursewareSelect.h"
#include "net/RequestOutcome.h"
#include "net/SimpleHttpPost.h"
#include "prepare/PrepareCourse.h"
#include "util/DigestCache.h"

#include "CoursewareFixture.h"
#include "MalformedBodies.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace CoursewareFixture;
using TestSupport::MessageCapture;

namespace {
const QString listPath = QStringLiteral("/platform/room/findDLCoursewareInfo");
const QString waitingText = QStringLiteral("课件检测中，请稍后...");
const QString failedText = QStringLiteral("课件列表获取失败：");
const QString nothingText = QStringLiteral("请确认已在配课系统开班并且课件已分发");
const QString recheckLine = QStringLiteral("[CoursewareSelect][on_recheckButton_clicked] 重新检测");

template<typename T>
T *child(QWidget *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

QStringList itemTexts(const QComboBox *combo)
{
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i)
        texts.append(combo->itemText(i));
    return texts;
}

QStringList itemTexts(const QListWidget *list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts.append(list->item(i)->text());
    return texts;
}

// A value as a log line shows it (quoting and escapes of QDebug).
QString debugText(const QString &value)
{
    QString text;
    QDebug(&text) << value;
    return text.trimmed();
}

// The lines of one check in an order that does not depend on which check logged first; the
// count of digests the cache gave differs by design.
QStringList checkLines(QStringList lines)
{
    static const QRegularExpression cacheCount(QStringLiteral("^(校验课件缓存:) \\d+ / "));
    for (QString &line : lines)
        line.replace(cacheCount, QStringLiteral("\\1 # / "));
    lines.sort();
    return lines;
}

QByteArray imageOf(int index)
{
    return QByteArray(5000, char('p' + index));
}
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
    void gatewayPageFailsTheList();
    void malformedListReplies_data();
    void malformedListReplies();
    void failedListRequest_data();
    void failedListRequest();
    void startButton_data();
    void startButton();
    void progressWhileChecking();
    void failureReasons_data();
    void failureReasons();
    void longFailureListScrolls();
    void repairedFileThenF5();
    void listChangedThenRechecked();

private:
    // Three courseware of the demo device; the files of the first 3 - `goodCount` of them are
    // damaged on disk.
    void prepareCourseware(int goodCount);
    // Its files on disk and its entry in the scenario (published by publish()).
    void addCourseware(int index, const QString &name, bool good);
    void publish();
    void repair(int index);
    QList<PrepareCourse *> prepareWindows() const;
    void setClientVersion(const QString &client, const QString &version);

    StandInServer server;
    QTemporaryDir temp;
    QScopedPointer<QTemporaryDir> appData;
    QScopedPointer<CoursewareSelect> window;
    QString root; // the download folder of prepareCourseware()
    QJsonArray entries;
    QJsonObject resources;
};

void tst_CoursewareSelect::initTestCase()
{
    // The digest cache of this test lies apart from the user's.
    QStandardPaths::setTestModeEnabled(true);
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
    DigestCache::shared().setSettleWindowMs(2000); // the program's own
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
    root = temp.path() + QStringLiteral("/dl-") + QString::fromLatin1(QTest::currentTestFunction());
    entries = QJsonArray();
    resources = QJsonObject();
    const QStringList names {QStringLiteral("Fractions"), QStringLiteral("Decimals"),
                             QStringLiteral("Angles")};
    // The failing ones are the first in the list, so the offered ones keep their order.
    for (int i = 0; i < 3; ++i)
        addCourseware(i, names.at(i), i >= 3 - goodCount);
    publish();
}

void tst_CoursewareSelect::addCourseware(int index, const QString &name, bool good)
{
    const QString id = QStringLiteral("CW%1").arg(index);
    const QByteArray flow = "<flow id=\"" + id.toUtf8() + "\"/>";
    QVERIFY(writeFile(QStringLiteral("%1/%2/4/xml/main.xml").arg(root, id), flow));
    QVERIFY(writeFile(QStringLiteral("%1/%2/4/image/a.png").arg(root, id),
                      good ? imageOf(index) : QByteArray("damaged")));
    resources.insert(id + QStringLiteral("/4"),
                     resourceList({element(QStringLiteral("xml/main.xml"), md5Hex(flow))},
                                  {element(QStringLiteral("image/a.png"), md5Hex(imageOf(index)),
                                           QStringLiteral("image"))}));
    entries.append(coursewareEntry(id, 4, name, root));
}

void tst_CoursewareSelect::publish()
{
    server.setScenario(QJsonObject {
            {QStringLiteral("devices"), QJsonObject {{QStringLiteral("DEV-1"), entries}}},
            {QStringLiteral("resources"), resources}});
}

void tst_CoursewareSelect::repair(int index)
{
    QVERIFY(writeFile(QStringLiteral("%1/CW%2/4/image/a.png").arg(root).arg(index),
                      imageOf(index)));
}

QList<PrepareCourse *> tst_CoursewareSelect::prepareWindows() const
{
    QList<PrepareCourse *> found;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *p = qobject_cast<PrepareCourse *>(widget))
            found.append(p);
    }
    return found;
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
    QCOMPARE(tip->geometry(), QRect(90, 176, 441, 68));
    QCOMPARE(label->text(), QStringLiteral("请选择课次"));
    QCOMPARE(button->text(), QStringLiteral("开始Corvin"));
    QCOMPARE(tip->alignment(), Qt::AlignCenter);
    QCOMPARE(tip->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(tip->text(), waitingText);
    QCOMPARE(combo->count(), 0);
    QVERIFY(!button->isEnabled());
    // Empty, the combo box still has its label's name; the lists have theirs, shown or not.
    QCOMPARE(TestSupport::spokenName(QAccessible::queryAccessibleInterface(combo)), label->text());
    QCOMPARE(TestSupport::unnamedControls(w), QStringList());

    // Beside the start button, and the list of courseware not offered below it, in the window.
    auto *recheck = child<QPushButton>(w, "recheckButton");
    auto *failures = child<QListWidget>(w, "failureList");
    QVERIFY(recheck && failures);
    QCOMPARE(recheck->geometry(), QRect(420, 300, 111, 31));
    QCOMPARE(failures->geometry(), QRect(90, 356, 441, 108));
    QCOMPARE(recheck->text(), QStringLiteral("重新检测"));
    QVERIFY(!recheck->isEnabled());
    QVERIFY(failures->isHidden());

    QTRY_COMPARE(server.requests(listPath).size(), 1);
    // Still waiting while the service holds the answer back, and F5 asks nothing while it does.
    w->showNormal();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QTest::keyClick(w, Qt::Key_F5);
    QTest::qWait(200);
    QCOMPARE(server.requests(listPath).size(), 1);
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
    window->showNormal();
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *tip = window->findChild<QLabel *>(QStringLiteral("error_tip"));
    QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 1, 15000);
    QCOMPARE(combo->itemText(0), QStringLiteral("无"));
    QCOMPARE(button->text(), QStringLiteral("确定"));
    QVERIFY(!button->isEnabled());
    QCOMPARE(tip->text(), nothingText);
    auto *failures = child<QListWidget>(window.data(), "failureList");
    QCOMPARE(itemTexts(failures),
             (QStringList {"Fractions_4：1 个文件校验不一致", "Decimals_4：1 个文件校验不一致",
                           "Angles_4：1 个文件校验不一致"}));

    // Nothing to offer is no longer final: the distribution completes, and F5 offers all three.
    for (int i = 0; i < 3; ++i)
        repair(i);
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.data()));
    QTest::keyClick(window.data(), Qt::Key_F5);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(itemTexts(combo), (QStringList {"Fractions_4", "Decimals_4", "Angles_4"}));
    QCOMPARE(button->text(), QStringLiteral("开始Corvin"));
    QVERIFY(failures->isHidden());
}

void tst_CoursewareSelect::gatewayPageFailsTheList()
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
    // A gateway's page is a failed request, never an empty list and never shown as it is.
    QTRY_COMPARE_WITH_TIMEOUT(tip->text(),
                              failedText + QStringLiteral("服务暂时不可用（HTTP 502）：请稍后重试"),
                              15000);
    QCOMPARE(combo->count(), 0);
    QVERIFY(!button->isEnabled());
}

void tst_CoursewareSelect::malformedListReplies_data()
{
    MalformedBodies::addRows();
}

// An empty body or a page that is not JSON is a failed request; any other bad body reads as a list
// without usable courseware.
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
    const QString text = QString::fromUtf8(body.constData(),
                                           int(qstrnlen(body.constData(), uint(body.size()))));
    const QByteArray start = body.trimmed().left(1);
    if (body.isEmpty()
        || (start != "{" && start != "[" && !RequestOutcome::isShortPlainText(text))) {
        QTRY_VERIFY_WITH_TIMEOUT(tip->text().startsWith(failedText), 15000);
        QVERIFY(!tip->text().contains(QLatin1Char('<')));
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
    QTest::addColumn<QString>("cause");
    QTest::newRow("error status, empty body")
            << 500 << false << QStringLiteral("服务暂时不可用（HTTP 500）：请稍后重试");
    QTest::newRow("time-out") << 200 << true
                              << QStringLiteral(
                                         "服务器 127.0.0.1 长时间没有响应：请检查网络后重试");
}

void tst_CoursewareSelect::failedListRequest()
{
    QFETCH(int, status);
    QFETCH(bool, neverAnswer);
    QFETCH(QString, cause);
    ScriptedReply reply;
    reply.status = status;
    reply.neverAnswer = neverAnswer;
    server.script(listPath, reply);
    SimpleHttpPost::setTransferTimeout(300);

    window.reset(new CoursewareSelect);
    auto *combo = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton"));
    auto *tip = window->findChild<QLabel *>(QStringLiteral("error_tip"));
    QTRY_COMPARE_WITH_TIMEOUT(tip->text(), failedText + cause, 15000);
    QCOMPARE(tip->palette().color(QPalette::WindowText), QColor(Qt::red));
    QVERIFY(!button->isEnabled());
    QCOMPARE(combo->count(), 0);
    QCOMPARE(button->text(), QStringLiteral("开始Corvin"));

    // The teacher checks again once the network is back, without a new login.
    auto *recheck = child<QPushButton>(window.data(), "recheckButton");
    QVERIFY(recheck->isEnabled());
    SimpleHttpPost::setTransferTimeout(SimpleHttpPost::defaultTransferTimeout);
    server.clearScripts();
    prepareCourseware(3);
    QTest::mouseClick(recheck, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(combo->count(), 3);
    QCOMPARE(tip->text(), QString());
}

void tst_CoursewareSelect::startButton_data()
{
    QTest::addColumn<bool>("keyboard");
    QTest::newRow("mouse") << false;
    QTest::newRow("keyboard") << true;
}

void tst_CoursewareSelect::startButton()
{
    QFETCH(bool, keyboard);
    prepareCourseware(3);
    // Left alive like in a run: the preparation window keeps a pointer to its list.
    auto *w = new CoursewareSelect;
    w->showNormal();
    auto *combo = w->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = w->findChild<QPushButton *>(QStringLiteral("pushButton"));
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(combo->count(), 3);

    if (keyboard) {
        // The window opens in the combo box: arrows choose, Tab leads on to the buttons.
        QVERIFY(QTest::qWaitForWindowActive(w));
        QCOMPARE(TestSupport::tabPath(w), QStringList({"comboBox", "pushButton", "recheckButton"}));
        QTest::keyClick(combo, Qt::Key_Down);
        QTest::keyClick(combo, Qt::Key_Down);
        QTest::keyClick(combo, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), button);
    } else {
        combo->setCurrentIndex(2);
    }
    QCOMPARE(combo->currentIndex(), 2);
    QCoreApplication::processEvents();
    // Choosing alone opens nothing.
    QVERIFY(prepareWindows().isEmpty());
    QVERIFY(w->isVisible());

    MessageCapture capture;
    if (keyboard)
        QTest::keyClick(button, Qt::Key_Space);
    else
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
    // Should a check below fail, the file's reader is let go, so the test ends rather than
    // waiting on the pipe.
    auto release = qScopeGuard([&] {
        const int fd = ::open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0 && ::write(fd, late.constData(), size_t(late.size())) >= 0)
            ::close(fd);
    });
    // The first figure shown may come between sizing the files and reading the first one.
    QTRY_COMPARE_WITH_TIMEOUT(progress.match(tip->text()).captured(1), QStringLiteral("100"),
                              15000);
    QVERIFY(!button->isEnabled());

    release.dismiss();
    QFile writer(pipe);
    QVERIFY(writer.open(QIODevice::WriteOnly));
    QCOMPARE(writer.write(late), qint64(late.size()));
    writer.close();
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(tip->text(), QString());
#endif
}

void tst_CoursewareSelect::failureReasons_data()
{
    // Files of "Bad" beside a sound one: "gone" ones are not on disk, "bad" ones are damaged,
    // "folder" ones are folders.
    QTest::addColumn<bool>("listed");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("reason"); // "" when Bad passes too

    QTest::newRow("resource list refused") << false << QStringList() << "资源列表获取失败";
    QTest::newRow("path leaves the folder")
            << true << QStringList {"../../G/4/a.png"} << "文件路径不安全";
    QTest::newRow("files missing")
            << true << QStringList {"gone1.png", "gone2.png", "gone3.png"} << "3 个文件缺失";
    QTest::newRow("file differs") << true << QStringList {"bad.png"} << "1 个文件校验不一致";
    QTest::newRow("file unreadable") << true << QStringList {"folder.png"} << "1 个文件无法读取";
    QTest::newRow("missing and differing")
            << true << QStringList {"bad.png", "gone.png"} << "1 个文件缺失，1 个文件校验不一致";
    QTest::newRow("nothing fails") << true << QStringList() << QString();
}

// "Bad" holds the row's fault, "Good" is sound.
void tst_CoursewareSelect::failureReasons()
{
    QFETCH(bool, listed);
    QFETCH(QStringList, files);
    QFETCH(QString, reason);
    const QString base = temp.path() + QStringLiteral("/reasons-")
            + TestSupport::folderName(QString::fromLatin1(QTest::currentDataTag()));
    const QString sound = md5Hex("content");
    QVERIFY(writeFile(base + QStringLiteral("/G/4/a.png"), "content"));
    QVERIFY(writeFile(base + QStringLiteral("/B/4/ok.png"), "content"));
    QJsonArray bad {element(QStringLiteral("ok.png"), sound)};
    for (const QString &file : files) {
        if (file.startsWith(QLatin1String("bad")))
            QVERIFY(writeFile(base + QStringLiteral("/B/4/") + file, "damaged"));
        if (file.startsWith(QLatin1String("folder")))
            QVERIFY(QDir().mkpath(base + QStringLiteral("/B/4/") + file));
        bad.append(element(file, sound));
    }
    QJsonObject lists {
            {QStringLiteral("G/4"), resourceList({}, {element(QStringLiteral("a.png"), sound)})}};
    if (listed)
        lists.insert(QStringLiteral("B/4"), resourceList({}, bad));
    const QJsonArray both {coursewareEntry(QStringLiteral("B"), 4, QStringLiteral("Bad"), base),
                           coursewareEntry(QStringLiteral("G"), 4, QStringLiteral("Good"), base)};
    server.setScenario(
            QJsonObject {{QStringLiteral("devices"), QJsonObject {{QStringLiteral("DEV-1"), both}}},
                         {QStringLiteral("resources"), lists}});

    MessageCapture capture;
    window.reset(new CoursewareSelect);
    window->showNormal();
    auto *failures = child<QListWidget>(window.data(), "failureList");
    QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>(window.data(), "pushButton")->isEnabled(), 15000);
    const bool fails = !reason.isEmpty();
    QCOMPARE(itemTexts(child<QComboBox>(window.data(), "comboBox")),
             fails ? QStringList {"Good_4"} : (QStringList {"Bad_4", "Good_4"}));
    QCOMPARE(failures->isVisible(), fails);
    QCOMPARE(itemTexts(failures), fails ? QStringList {"Bad_4：" + reason} : QStringList());
    QCOMPARE(capture.texts().filter(QRegularExpression(QStringLiteral("^课件未通过检测:"))),
             fails ? QStringList {"课件未通过检测: \"Bad_4\" " + debugText(reason)}
                   : QStringList());
}

// More courseware than the list has room for: it scrolls and stays where it is.
void tst_CoursewareSelect::longFailureListScrolls()
{
    QJsonArray many;
    for (int i = 0; i < 12; ++i)
        many.append(coursewareEntry(QStringLiteral("N%1").arg(i), 1,
                                    QStringLiteral("没有资源列表的课件%1").arg(i), temp.path()));
    server.setScenario(QJsonObject {
            {QStringLiteral("devices"), QJsonObject {{QStringLiteral("DEV-1"), many}}}});
    window.reset(new CoursewareSelect);
    window->showNormal();
    auto *failures = child<QListWidget>(window.data(), "failureList");
    QTRY_COMPARE_WITH_TIMEOUT(failures->count(), 12, 15000);
    QVERIFY(failures->isVisible());
    QCOMPARE(failures->geometry(), QRect(90, 356, 441, 108));
    QVERIFY(failures->verticalScrollBar()->isVisible());
    QVERIFY(failures->verticalScrollBar()->maximum() > 0);
}

// After the distribution completes, one F5 offers the courseware, and it can be prepared.
void tst_CoursewareSelect::repairedFileThenF5()
{
    prepareCourseware(2);
    QVERIFY(writeFile(appData->path() + QStringLiteral("/heron/config.ini"),
                      "[Server]\nversion=0.9\n"));
    QVERIFY(TestSupport::writeClientStartFile(appData->path(), QStringLiteral("heron")));
    window.reset(new CoursewareSelect);
    CoursewareSelect *w = window.data();
    w->showNormal();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    auto *combo = child<QComboBox>(w, "comboBox");
    auto *button = child<QPushButton>(w, "pushButton");
    auto *recheck = child<QPushButton>(w, "recheckButton");
    auto *tip = child<QLabel>(w, "error_tip");
    auto *failures = child<QListWidget>(w, "failureList");
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(itemTexts(combo), (QStringList {"Decimals_4", "Angles_4"}));
    QCOMPARE(itemTexts(failures), QStringList {"Fractions_4：1 个文件校验不一致"});

    repair(0);
    QTest::keyClick(w, Qt::Key_F5);
    // The waiting state of a first check, and a second F5 meanwhile asks nothing more.
    QCOMPARE(tip->text(), waitingText);
    QCOMPARE(combo->count(), 0);
    QVERIFY(!button->isEnabled());
    QVERIFY(!recheck->isEnabled());
    QVERIFY(failures->isHidden());
    QTest::keyClick(w, Qt::Key_F5);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(itemTexts(combo), (QStringList {"Fractions_4", "Decimals_4", "Angles_4"}));
    QVERIFY(failures->isHidden());
    QCOMPARE(server.requests(listPath).size(), 2);
    QCOMPARE(server.requests(QStringLiteral("/platform/room/getCoursewareResource")).size(), 6);

    MessageCapture capture;
    combo->setCurrentIndex(0);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(prepareWindows().size(), 1);
    PrepareCourse *prepare = prepareWindows().first();
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(prepare, "label")->text(),
                              QStringLiteral("Corvin准备完成"), 15000);
    QCOMPARE(TestSupport::filesBelow(appData->path() + QStringLiteral("/heron/resource"))
                     .value(QStringLiteral("image/image/a.png")),
             imageOf(0));
    // The seat request's reply is logged here, not in the next test's log.
    QTRY_VERIFY(capture.contains(debugText(QStringLiteral("{\"code\":0,\"success\":true}"))));
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    delete prepare;
}

// The same list checked again logs what the first check logged; a changed list replaces the
// offered courseware rather than adding to them.
void tst_CoursewareSelect::listChangedThenRechecked()
{
    // Files just written count as settled, so that the first check fills the cache.
    DigestCache::shared().setSettleWindowMs(0);
    prepareCourseware(3);
    MessageCapture capture;
    window.reset(new CoursewareSelect);
    window->showNormal();
    auto *combo = child<QComboBox>(window.data(), "comboBox");
    auto *button = child<QPushButton>(window.data(), "pushButton");
    auto *recheck = child<QPushButton>(window.data(), "recheckButton");
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QThreadPool::globalInstance()->waitForDone();
    const QStringList firstLines = capture.texts();
    QCOMPARE(firstLines.count(QStringLiteral("校验课件成功")), 3);

    capture.clear();
    QTest::mouseClick(recheck, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QThreadPool::globalInstance()->waitForDone();
    QStringList secondLines = capture.texts();
    QVERIFY(secondLines.removeOne(recheckLine));
    QCOMPARE(checkLines(secondLines), checkLines(firstLines));
    // Nothing changed on disk: no file was hashed again.
    QCOMPARE(secondLines.count(QStringLiteral("校验课件缓存: 2 / 2 个文件未重新计算")), 3);
    QCOMPARE(combo->count(), 3);

    // One courseware withdrawn, another one distributed.
    entries.removeFirst();
    addCourseware(3, QStringLiteral("Circles"), true);
    publish();
    QTest::mouseClick(recheck, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 15000);
    QCOMPARE(itemTexts(combo), (QStringList {"Decimals_4", "Angles_4", "Circles_4"}));
    QVERIFY(child<QListWidget>(window.data(), "failureList")->isHidden());
    QCOMPARE(server.requests(listPath).size(), 3);
}

QTEST_MAIN(tst_CoursewareSelect)
#include "tst_coursewareselect.moc"
