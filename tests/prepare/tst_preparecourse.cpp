#include "config/AppContext.h"
#include "courseware/CoursewareList.h"
#include "courseware/CoursewareSelect.h"
#include "prepare/PrepareCourse.h"

#include "MalformedBodies.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#ifdef Q_OS_LINUX
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif
#include <cstdlib>
#include <functional>
#include <utility>

using TestSupport::MessageCapture;
using TestSupport::ModalSeen;

namespace {

// Ends a child process however the test function is left.
struct ProcessStopper
{
    QProcess *process;
    ~ProcessStopper()
    {
        process->kill();
        process->waitForFinished(10000);
    }
};

const QString replacePath = QStringLiteral("/clb/class/replaceClassStudent");
const QString failureText
        = QString(31, QLatin1Char(' ')) + QStringLiteral("Corvin准备失败，请重试!");
const Qt::WindowFlags boxFlags
        = Qt::WindowTitleHint | Qt::Dialog | Qt::WindowMaximizeButtonHint | Qt::CustomizeWindowHint;

// A confirmed start ends the process with status 0, which CTest would count as a pass.
// While this is set, an exit turns into a failure.
std::atomic<bool> exitIsFailure {false};
void failOnExit()
{
    if (exitIsFailure)
        std::_Exit(3);
}

bool writeFile(const QString &path, const QByteArray &content,
               QFileDevice::Permissions permissions = QFileDevice::Permissions())
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(content) != content.size())
        return false;
    file.close();
    return permissions == QFileDevice::Permissions() || file.setPermissions(permissions);
}

template<typename T>
QString debugText(const T &value)
{
    QString text;
    QDebug(&text) << value;
    return text.trimmed();
}

// Holds the copy task at its "end of copying" log line: both counts are final by then (they
// meet), but resourcesReady is not set yet.
class CopyGate
{
public:
    CopyGate()
    {
        reached = false;
        semaphore.tryAcquire(semaphore.available());
        previous = qInstallMessageHandler(&CopyGate::handler);
    }
    ~CopyGate()
    {
        release();
        qInstallMessageHandler(previous);
    }
    void release()
    {
        if (!released.exchange(true))
            semaphore.release();
    }
    static std::atomic<bool> reached;

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
    {
        if (QThread::currentThread() != qApp->thread()
            && msg.contains(QStringLiteral("结束复制文件"))) {
            reached = true;
            semaphore.acquire();
        }
        if (previous)
            previous(type, context, msg);
    }
    static QtMessageHandler previous;
    static QSemaphore semaphore;
    std::atomic<bool> released {false};
};
std::atomic<bool> CopyGate::reached {false};
QtMessageHandler CopyGate::previous = nullptr;
QSemaphore CopyGate::semaphore;

// Records the next modal box, including its default button, and presses `press`.
struct BoxSeen
{
    bool seen = false;
    QString title;
    QString text;
    QStringList buttons;
    Qt::WindowFlags flags;
    bool okIsDefault = false;
    QString focused; // the text of the button with the keyboard focus
    QStringList unnamed; // TestSupport::unnamedControls
};

// `then` runs right after the press, when the box has gone.
void pressInNextBox(BoxSeen *seen, QMessageBox::StandardButton press,
                    std::function<void()> then = nullptr)
{
    *seen = BoxSeen();
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, seen, press, then] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer->stop();
        timer->deleteLater();
        seen->seen = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->flags = box->windowFlags();
        seen->okIsDefault
                = box->defaultButton() && box->defaultButton() == box->button(QMessageBox::Ok);
        for (QAbstractButton *b : box->buttons())
            seen->buttons.append(b->text());
        if (auto *focused = qobject_cast<QAbstractButton *>(box->focusWidget()))
            seen->focused = focused->text();
        seen->unnamed = TestSupport::unnamedControls(box);
        if (QAbstractButton *target = box->button(press))
            target->click();
        else
            box->close();
        if (then)
            then();
    });
    timer->start();
}

} // namespace

// The preparation window, offscreen, with the stand-in service and real files.
class tst_PrepareCourse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formAndFirstTick();
    void unknownNameFails();
    void readyState();
    void malformedClassStudentReplies_data();
    void malformedClassStudentReplies();
    void failedClassStudentRequestShown();
    void failedState();
    void missingClientFails();
    void equalCountsWaitForTheTask();
    void retryShowsSelection();
    void fullDiskFailsThenRetrySucceeds();
    void fileInUseFails();
    void runningClientBox();
    void cancelStartsNothing();
    void failedStartStaysReady_data();
    void failedStartStaysReady();

private:
    // Puts n files into the download folder (one of them missing when asked) and loads the list.
    bool loadList(int files, bool oneMissing = false);
    PrepareCourse *open(const QString &name = QStringLiteral("Demo_3"));
    static QLabel *label(QWidget *w) { return w->findChild<QLabel *>(QStringLiteral("label")); }
    static QPushButton *button(QWidget *w)
    {
        return w->findChild<QPushButton *>(QStringLiteral("pushButton"));
    }
    // The line under the failure text.
    static QLabel *reason(QWidget *w) { return w->findChild<QLabel *>(QStringLiteral("reason")); }
    static QProgressBar *bar(QWidget *w)
    {
        return w->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    }

    StandInServer server;
    QTemporaryDir temp;
    QString appData;
    QString download;
    QString record; // written by the student clients' start files
    CoursewareList *list = nullptr;
    PrepareCourse *window = nullptr;
};

void tst_PrepareCourse::initTestCase()
{
    std::atexit(failOnExit);
    QVERIFY(server.start());
    QVERIFY(temp.isValid());
}

void tst_PrepareCourse::init()
{
    const QString base = temp.path() + QLatin1Char('/')
            + QString::fromLatin1(QTest::currentTestFunction()) + QLatin1Char('-')
            + TestSupport::folderName(QString::fromLatin1(QTest::currentDataTag()));
    appData = base + QStringLiteral("/appdata");
    download = base + QStringLiteral("/download");
    record = base + QStringLiteral("/client-started.log");
    QVERIFY(writeFile(appData + QStringLiteral("/heron/config.ini"), "[Server]\nversion=0.9\n"));
    QVERIFY(TestSupport::writeClientStartFile(appData, QStringLiteral("heron")));
    QVERIFY(writeFile(appData + QStringLiteral("/atrium/config.ini"), "[Server]\nversion=0.9.8\n"));
    QVERIFY(TestSupport::writeClientStartFile(appData, QStringLiteral("atrium")));
    qputenv("APPDATA", QFile::encodeName(appData));
    TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), server.baseUrl()},
                              {QStringLiteral("Server/MD5"), QStringLiteral("0")}});
    AppContext &context = AppContext::instance();
    context.channelId = 0;
    context.managerId = QStringLiteral("M77");
    context.resourcesReady = false;
    list = new CoursewareList;
}

void tst_PrepareCourse::cleanup()
{
    exitIsFailure = false;
    // A window that reached Ready has sent its request; let it arrive before the records are
    // cleared, so that it is not counted by the next test.
    if (window && label(window)->text() == QStringLiteral("Corvin准备完成"))
        QTRY_COMPARE(server.requests(replacePath).size(), 1);
    delete window;
    window = nullptr;
    delete list;
    list = nullptr;
    AppContext &context = AppContext::instance();
    delete context.selectWindow;
    context.selectWindow = nullptr;
    context.channelId = -1;
    context.managerId.clear();
    server.setScenario(QJsonObject());
    server.clearScripts();
    server.clearRequests();
}

bool tst_PrepareCourse::loadList(int files, bool oneMissing)
{
    QJsonArray elements;
    for (int i = 0; i < files; ++i) {
        const QString localPath = QStringLiteral("file%1.png").arg(i);
        const QByteArray content = "file " + QByteArray::number(i);
        if (!(oneMissing && i == files / 2)
            && !writeFile(download + QStringLiteral("/C1/3/") + localPath, content))
            return false;
        elements.append(QJsonObject {
                {QStringLiteral("localPath"), localPath},
                {QStringLiteral("fileType"), QStringLiteral("image")},
                {QStringLiteral("fileMd5"),
                 QString::fromLatin1(
                         QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())}});
    }
    server.setScenario(QJsonObject {
            {QStringLiteral("resources"),
             QJsonObject {{QStringLiteral("C1/3"),
                           QJsonObject {{QStringLiteral("flowConfList"), QJsonArray()},
                                        {QStringLiteral("resourceElements"), elements}}}}}});
    const QJsonObject entry {{QStringLiteral("coursewareId"), QStringLiteral("C1")},
                             {QStringLiteral("releaseVersion"), 3},
                             {QStringLiteral("coursewareName"), QStringLiteral("Demo")},
                             {QStringLiteral("absolutePath"), download},
                             {QStringLiteral("teacherId"), QStringLiteral("T2001")}};
    QString body = QString::fromUtf8(
            QJsonDocument(QJsonObject {{QStringLiteral("coursewareList"), QJsonArray {entry}}})
                    .toJson(QJsonDocument::Compact));
    QSignalSpy ready(list, &CoursewareList::CoursewareResourceListReady);
    list->on_get_coursewarelist(body);
    return ready.wait(15000)
            && list->getReadyCoursewareNames() == QStringList {QStringLiteral("Demo_3")};
}

PrepareCourse *tst_PrepareCourse::open(const QString &name)
{
    window = new PrepareCourse(name, list, nullptr);
    window->showNormal();
    return window;
}

void tst_PrepareCourse::formAndFirstTick()
{
    QVERIFY(loadList(3));
    CopyGate gate; // keeps the copy from ending while the form is looked at
    PrepareCourse *w = open();

    QCOMPARE(w->size(), QSize(677, 436));
    QCOMPARE(w->windowTitle(), QStringLiteral(" Corvin助手"));
    QVERIFY(!(w->windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(bar(w)->geometry(), QRect(90, 140, 511, 41));
    QCOMPARE(button(w)->geometry(), QRect(260, 260, 141, 41));
    QCOMPARE(label(w)->geometry(), QRect(90, 90, 511, 31));
    QCOMPARE(reason(w)->geometry(), QRect(90, 130, 511, 31));
    QVERIFY(reason(w)->isHidden());
    // Before the first tick the form's own values show.
    QCOMPARE(bar(w)->value(), 24);
    QCOMPARE(bar(w)->maximum(), 100);
    QCOMPARE(label(w)->text(), QStringLiteral("Corvin准备中 . . ."));
    QCOMPARE(button(w)->text(), QStringLiteral("启动客户端"));
    QVERIFY(!button(w)->isEnabled());

    QTRY_VERIFY(CopyGate::reached);
    // The held copy has set its own counts: 3 of 3, and the window still waits for the task.
    QTRY_COMPARE(bar(w)->maximum(), 3);
    QCOMPARE(bar(w)->value(), 3);
    QCOMPARE(label(w)->text(), QStringLiteral("Corvin准备中 . . ."));
    gate.release();
    QTRY_COMPARE(label(w)->text(), QStringLiteral("Corvin准备完成"));
}

// A name that no courseware which passed its check carries copies nothing; the window must still
// end, in the failure state, rather than wait on counts that never meet.
void tst_PrepareCourse::unknownNameFails()
{
    QVERIFY(loadList(3));
    MessageCapture capture;
    PrepareCourse *w = open(QStringLiteral("Nothing_1"));
    QTRY_COMPARE(button(w)->text(), QStringLiteral("重试"));
    QVERIFY(capture.contains(QStringLiteral("没有找到课件")));
    QVERIFY(capture.contains(QStringLiteral("[PrepareCourse][on_copy]")));
    QVERIFY(capture.contains(debugText(QStringLiteral("Nothing_1"))));
    QVERIFY(label(w)->text().endsWith(QStringLiteral("Corvin准备失败，请重试!")));
    QCOMPARE(reason(w)->text(), QStringLiteral("该课件未通过检测，请返回重新检测"));
    QVERIFY(button(w)->isEnabled());
    QTest::qWait(300);
    QCOMPARE(server.requests(replacePath).size(), 0);
}

void tst_PrepareCourse::readyState()
{
    QVERIFY(loadList(4));
    MessageCapture capture;
    PrepareCourse *w = open();
    QTRY_COMPARE(label(w)->text(), QStringLiteral("Corvin准备完成"));
    QCOMPARE(label(w)->palette().color(QPalette::WindowText), QColor(Qt::black));
    QVERIFY(button(w)->isEnabled());
    QCOMPARE(button(w)->text(), QStringLiteral("启动客户端"));
    QVERIFY(bar(w)->isVisible());
    QVERIFY(reason(w)->isHidden());
    QCOMPARE(bar(w)->maximum(), 4);
    QCOMPARE(bar(w)->value(), 4);
    // The next step has the keyboard focus, and every control a name.
    QCOMPARE(w->focusWidget(), button(w));
    QCOMPARE(TestSupport::unnamedControls(w), QStringList());
    QCOMPARE(QDir(appData + QStringLiteral("/heron/resource/image")).entryList(QDir::Files).size(),
             4);

    QTRY_COMPARE(server.requests(replacePath).size(), 1);
    const RecordedRequest request = server.requests(replacePath).first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.body,
             QByteArray("{\"channelId\":0,\"masterTeacherId\":\"T2001\",\"teacherId\":\"M77\"}"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QTRY_VERIFY(capture.contains(debugText(QStringLiteral("{\"code\":0,\"success\":true}"))));
    QVERIFY(capture.contains(QStringLiteral("[PrepareCourse][replaceClassStudent]")));
    // Ready is final: no second request on later ticks.
    QTest::qWait(300);
    QCOMPARE(server.requests(replacePath).size(), 1);
}

void tst_PrepareCourse::malformedClassStudentReplies_data()
{
    MalformedBodies::addRows();
}

// The reply is only logged: whatever comes back, the window stays Ready and can start the client.
void tst_PrepareCourse::malformedClassStudentReplies()
{
    QFETCH(QByteArray, body);
    ScriptedReply reply;
    reply.body = body;
    server.script(replacePath, reply);
    QVERIFY(loadList(2));
    MessageCapture capture;
    PrepareCourse *w = open();
    const auto replyLogged = [&capture] {
        for (const auto &message : capture.messages()) {
            if (message.function.contains(QStringLiteral("on_replaceClassStudent")))
                return message.text;
        }
        return QString();
    };
    QTRY_VERIFY_WITH_TIMEOUT(!replyLogged().isEmpty(), 15000);
    // The reply text ends at a NUL byte, as the request client hands it on.
    const int nul = body.indexOf('\0');
    QCOMPARE(replyLogged(), debugText(QString::fromUtf8(nul < 0 ? body : body.left(nul))));
    QCOMPARE(label(w)->text(), QStringLiteral("Corvin准备完成"));
    QCOMPARE(label(w)->palette().color(QPalette::WindowText), QColor(Qt::black));
    QVERIFY(button(w)->isEnabled());

    exitIsFailure = true;
    BoxSeen seen;
    pressInNextBox(&seen, QMessageBox::Cancel);
    QTest::mouseClick(button(w), Qt::LeftButton);
    QVERIFY(seen.seen);
    QCOMPARE(seen.text, QStringLiteral(" 学生端即将启动"));
    QVERIFY(!QFileInfo::exists(record));
    QCOMPARE(server.requests(replacePath).size(), 1);
}

// A seat request that fails still lets the client start, and says why the class may refuse.
void tst_PrepareCourse::failedClassStudentRequestShown()
{
    server.script(replacePath, ScriptedReply {502, QByteArray("<html>502</html>"), "text/html"});
    QVERIFY(loadList(2));
    PrepareCourse *w = open();
    auto *reason = w->findChild<QLabel *>(QStringLiteral("reason"));
    QTRY_VERIFY_WITH_TIMEOUT(reason->isVisible(), 15000);
    QCOMPARE(reason->text(),
             QStringLiteral("入座请求失败：服务暂时不可用（HTTP 502）：请稍后重试"));
    QCOMPARE(label(w)->text(), QStringLiteral("Corvin准备完成"));
    QVERIFY(button(w)->isEnabled());
}

void tst_PrepareCourse::failedState()
{
    QVERIFY(loadList(5, true));
    PrepareCourse *w = open();
    QTRY_COMPARE(button(w)->text(), QStringLiteral("重试"));
    QCOMPARE(label(w)->text(), failureText);
    QCOMPARE(label(w)->palette().color(QPalette::WindowText), QColor(Qt::red));
    QVERIFY(!bar(w)->isVisible());
    QVERIFY(button(w)->isEnabled());
    QCOMPARE(w->focusWidget(), button(w));
    // A file of the download folder went missing after the check (which is off here).
    QVERIFY(reason(w)->isVisible());
    QCOMPARE(reason(w)->text(), QStringLiteral("下载的课件文件缺失，请等分发完成后重新检测"));
    QCOMPARE(reason(w)->palette().color(QPalette::WindowText), QColor(Qt::red));
    QTest::qWait(300);
    QCOMPARE(server.requests(replacePath).size(), 0);
    QCOMPARE(label(w)->text(), failureText);
}

void tst_PrepareCourse::missingClientFails()
{
    QVERIFY(loadList(2));
    QVERIFY(QDir(appData + QStringLiteral("/heron")).removeRecursively());
    QVERIFY(writeFile(appData + QStringLiteral("/resource/keep.png"), "keep"));
    PrepareCourse *w = open();
    QTRY_COMPARE(button(w)->text(), QStringLiteral("重试"));
    QCOMPARE(label(w)->text(), failureText);
    QCOMPARE(reason(w)->text(), QStringLiteral("未找到学生端，请先安装学生端"));
    QVERIFY(QFileInfo::exists(appData + QStringLiteral("/resource/keep.png")));
    QCOMPARE(server.requests(replacePath).size(), 0);
}

void tst_PrepareCourse::equalCountsWaitForTheTask()
{
    // No files at all: the copy sets both counts to 0 at once, long before it has decided.
    QVERIFY(loadList(0));
    CopyGate gate;
    PrepareCourse *w = open();
    QTRY_VERIFY(CopyGate::reached);
    QTRY_COMPARE(bar(w)->maximum(), 0);
    QTest::qWait(300);
    QCOMPARE(label(w)->text(), QStringLiteral("Corvin准备中 . . ."));
    QVERIFY(!button(w)->isEnabled());
    QCOMPARE(server.requests(replacePath).size(), 0);
    gate.release();
    QTRY_COMPARE(label(w)->text(), QStringLiteral("Corvin准备完成"));
    QTRY_COMPARE(server.requests(replacePath).size(), 1);
}

void tst_PrepareCourse::retryShowsSelection()
{
    QVERIFY(loadList(3, true));
    auto *select = new CoursewareSelect(nullptr); // stores itself as selectWindow
    QCOMPARE(AppContext::instance().selectWindow, select);
    select->hide();
    PrepareCourse *w = open();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_COMPARE(button(w)->text(), QStringLiteral("重试"));
    QTest::keyClick(button(w), Qt::Key_Space);
    QVERIFY(select->isVisible());
    QVERIFY(!w->isVisible());
}

// The client's resource folder on a file system too small for the courseware.
void tst_PrepareCourse::fullDiskFailsThenRetrySucceeds()
{
#ifndef Q_OS_LINUX
    QSKIP("the small file system is a tmpfs mounted by the test, which takes Linux and root");
#else
    const QString resource = appData + QStringLiteral("/heron/resource");
    QVERIFY(QDir().mkpath(resource));
    const auto mount = [&resource](const QString &options) {
        return QProcess::execute(QStringLiteral("mount"),
                                 {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                  QStringLiteral("-o"), options, QStringLiteral("corvin-test"),
                                  resource})
                == 0;
    };
    if (geteuid() != 0 || !mount(QStringLiteral("size=1m")))
        QSKIP("no tmpfs can be mounted here: the test needs root and the right to mount");
    const struct Unmount
    {
        QString folder;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {folder}); }
    } unmount {resource};

    // Three files of 600 KiB for a file system of 1 MiB (the check is off here).
    QVERIFY(loadList(3));
    const QString source = download + QStringLiteral("/C1/3/");
    for (int i = 0; i < 3; ++i)
        QVERIFY(writeFile(source + QStringLiteral("file%1.png").arg(i),
                          QByteArray(600 * 1024, char('a' + i))));
    const QMap<QString, QByteArray> downloadBefore = TestSupport::filesBelow(download);
    auto *select = new CoursewareSelect(nullptr); // stores itself as selectWindow
    select->hide();
    MessageCapture capture;
    PrepareCourse *w = open();
    QTRY_COMPARE_WITH_TIMEOUT(button(w)->text(), QStringLiteral("重试"), 15000);
    QCOMPARE(label(w)->text(), failureText);
    QCOMPARE(reason(w)->text(), QStringLiteral("磁盘空间不足，请清理磁盘空间后重试"));
    QVERIFY(reason(w)->isVisible());
    QVERIFY(!capture.texts()
                     .filter(QRegularExpression(QStringLiteral("^复制失败: QSet\\(.*%1")
                                                        .arg(QRegularExpression::escape(source))))
                     .isEmpty());
    // The set of failed files, then the reason on a line of its own.
    const QStringList lines = capture.texts();
    const int failedAt = lines.indexOf(QRegularExpression(QStringLiteral("复制失败: QSet.*")));
    QVERIFY(lines.value(failedAt + 1).startsWith(QStringLiteral("复制失败原因: ")));
    QVERIFY(lines.value(failedAt + 1).endsWith(QStringLiteral("\"No space left on device\"")));
    QCOMPARE(server.requests(replacePath).size(), 0);
    QCOMPARE(TestSupport::filesBelow(download), downloadBefore);

    // Space again, and the teacher retries.
    QCOMPARE(
            QProcess::execute(QStringLiteral("mount"),
                              {QStringLiteral("-o"), QStringLiteral("remount,size=16m"), resource}),
            0);
    QTest::mouseClick(button(w), Qt::LeftButton);
    QVERIFY(select->isVisible());
    delete window;
    PrepareCourse *again = open();
    QTRY_COMPARE_WITH_TIMEOUT(label(again)->text(), QStringLiteral("Corvin准备完成"), 15000);
    QTRY_COMPARE(server.requests(replacePath).size(), 1);
    QCOMPARE(TestSupport::filesBelow(resource).size(), 3);
#endif
}

// An earlier courseware's file that the running student client holds open stays in the resource
// folder: nothing is copied, and the teacher reads that the client has to be closed.
void tst_PrepareCourse::fileInUseFails()
{
    QVERIFY(loadList(2));
    const QString resource = appData + QStringLiteral("/heron/resource");
    const QString held = resource + QStringLiteral("/image/old.png");
    QVERIFY(writeFile(held, "old courseware"));
    std::function<void()> release;
#if defined(Q_OS_WIN)
    // Open without FILE_SHARE_DELETE, as a program that reads the file would: it cannot be
    // removed while the handle lives.
    const HANDLE handle
            = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(held).utf16()),
                          GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(handle != INVALID_HANDLE_VALUE);
    release = [handle] {
        CloseHandle(handle);
    };
#elif defined(Q_OS_LINUX)
    // A file mounted over it: the system refuses its removal as busy (EBUSY), as Windows refuses
    // that of a file the client holds open.
    const QString other = temp.path() + QStringLiteral("/mounted-over.png");
    QVERIFY(writeFile(other, "mounted"));
    if (geteuid() != 0
        || QProcess::execute(QStringLiteral("mount"), {QStringLiteral("--bind"), other, held}) != 0)
        QSKIP("the busy file is a bind mount, which takes root and the right to mount");
    release = [held] {
        QProcess::execute(QStringLiteral("umount"), {held});
    };
#else
    QSKIP("no way to hold a file here");
#endif
    const struct Release
    {
        std::function<void()> &now;
        ~Release()
        {
            if (now)
                now();
        }
    } releaseAtEnd {release};
    MessageCapture capture;
    PrepareCourse *w = open();
    QTRY_COMPARE_WITH_TIMEOUT(button(w)->text(), QStringLiteral("重试"), 15000);
    QCOMPARE(label(w)->text(), failureText);
    QCOMPARE(reason(w)->text(), QStringLiteral("文件被占用，请关闭学生端后重试"));
    QVERIFY(reason(w)->isVisible());
    const QString tag = QStringLiteral("[CoursewareResource][copyToLocalResourcePath]: ");
    // The system's reason is in the log, in the system's words.
    QCOMPARE(capture.texts()
                     .filter(QRegularExpression(
                             QStringLiteral("^%1删除失败原因: %2 \".+\"$")
                                     .arg(QRegularExpression::escape(tag),
                                          QRegularExpression::escape(debugText(held)))))
                     .size(),
             1);
    QVERIFY(capture.contains(tag + QStringLiteral("资源目录删除失败, 不复制: ") + debugText(held)));
    QCOMPARE(TestSupport::filesBelow(resource).keys(),
             QStringList {QStringLiteral("image/old.png")});
    QCOMPARE(server.requests(replacePath).size(), 0);

    // The client closed, the next try goes through.
    std::exchange(release, nullptr)();
    delete window;
    PrepareCourse *again = open();
    QTRY_COMPARE_WITH_TIMEOUT(label(again)->text(), QStringLiteral("Corvin准备完成"), 15000);
    QVERIFY(reason(again)->isHidden());
    QVERIFY(!TestSupport::filesBelow(resource).contains(QStringLiteral("image/old.png")));
}

void tst_PrepareCourse::runningClientBox()
{
    const QString fake = temp.path() + QStringLiteral("/running/Lectern.exe");
    QVERIFY(QDir().mkpath(QFileInfo(fake).path()));
    QVERIFY(QFile::exists(fake) || TestSupport::makeSleeper(fake));
    QProcess client;
    client.start(fake, {QStringLiteral("60")});
    QVERIFY(client.waitForStarted(10000));
    const ProcessStopper stopper {&client};

    QVERIFY(loadList(1));
    PrepareCourse *w = open();
    QTRY_VERIFY(button(w)->isEnabled());
    exitIsFailure = true;
    MessageCapture capture;
    for (int press = 0; press < 2; ++press) {
        BoxSeen seen;
        pressInNextBox(&seen, QMessageBox::Ok);
        QTest::mouseClick(button(w), Qt::LeftButton);
        QVERIFY(seen.seen);
        QCOMPARE(seen.title, QStringLiteral("Corvin助手"));
        QCOMPARE(seen.text, QStringLiteral(" 请手动关闭学生端"));
        QCOMPARE(seen.unnamed, QStringList());
        QCOMPARE(seen.buttons, QStringList {QStringLiteral("确定")});
        QVERIFY(seen.okIsDefault);
        // Qt adds the system-menu hint itself wherever a title button hint is set.
        QCOMPARE(seen.flags & boxFlags, boxFlags);
        QVERIFY(!(seen.flags & Qt::WindowCloseButtonHint));
    }
    QVERIFY(!capture.contains(QStringLiteral("ok")));
    QVERIFY(!QFileInfo::exists(record));
    QVERIFY(button(w)->isEnabled());
    QCOMPARE(label(w)->text(), QStringLiteral("Corvin准备完成"));
}

void tst_PrepareCourse::cancelStartsNothing()
{
    QVERIFY(loadList(1));
    PrepareCourse *w = open();
    QTRY_VERIFY(button(w)->isEnabled());
    exitIsFailure = true;
    MessageCapture capture;
    for (int press = 0; press < 2; ++press) {
        BoxSeen seen;
        pressInNextBox(&seen, QMessageBox::Cancel);
        // Once with the mouse, once with the keyboard.
        if (press == 0)
            QTest::mouseClick(button(w), Qt::LeftButton);
        else
            QTest::keyClick(button(w), Qt::Key_Space);
        QVERIFY(seen.seen);
        QCOMPARE(seen.title, QStringLiteral("Corvin助手"));
        QCOMPARE(seen.text, QStringLiteral(" 学生端即将启动"));
        // Return confirms: the focus is on the default button.
        QCOMPARE(seen.focused, QStringLiteral("确定"));
        QCOMPARE(seen.unnamed, QStringList());
        QCOMPARE(seen.buttons, (QStringList {QStringLiteral("确定"), QStringLiteral("取消")}));
        QVERIFY(seen.okIsDefault);
        // Qt adds the system-menu hint itself wherever a title button hint is set.
        QCOMPARE(seen.flags & boxFlags, boxFlags);
        QVERIFY(!(seen.flags & Qt::WindowCloseButtonHint));
    }
    QCOMPARE(capture.texts().count(QStringLiteral("cancel")), 2);
    QVERIFY(!capture.contains(QStringLiteral("ok")));
    QVERIFY(!QFileInfo::exists(record));
    QVERIFY(w->isVisible());
    QVERIFY(button(w)->isEnabled());
}

void tst_PrepareCourse::failedStartStaysReady_data()
{
    QTest::addColumn<bool>("remove");
    QTest::newRow("start file missing") << true;
    QTest::newRow("start file not executable") << false;
}

void tst_PrepareCourse::failedStartStaysReady()
{
    QFETCH(bool, remove);
    const QString runBat = appData + QStringLiteral("/heron/run.bat");
    if (remove) {
        QVERIFY(QFile::remove(runBat));
    } else {
#ifdef Q_OS_WIN
        QSKIP("a batch file has no mode to take away on Windows: cmd starts it whatever it holds");
#endif
        QVERIFY(QFile::setPermissions(runBat, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    }

    QVERIFY(loadList(1));
    PrepareCourse *w = open();
    QTRY_VERIFY(button(w)->isEnabled());
    exitIsFailure = true;
    MessageCapture capture;
    BoxSeen confirm;
    ModalSeen failure;
    // The failure box is looked for only once the confirm box has gone.
    pressInNextBox(&confirm, QMessageBox::Ok,
                   [&failure] { TestSupport::closeNextModal(&failure); });
    QTest::mouseClick(button(w), Qt::LeftButton);
    QVERIFY(confirm.seen);
    QVERIFY(failure.seen);
    QCOMPARE(failure.title, QStringLiteral("提示"));
    QCOMPARE(failure.text, QStringLiteral("学生端启动失败，请确认学生端已正确安装"));
    QVERIFY(capture.contains(QStringLiteral("ok")));
    QVERIFY(capture.contains(debugText(runBat)));
    QVERIFY(capture.contains(QStringLiteral("[PrepareCourse][StartClient] 学生端启动失败: ")
                             + debugText(runBat)));
    QVERIFY(!QFileInfo::exists(record));
    QVERIFY(w->isVisible());
    QVERIFY(button(w)->isEnabled());
    QCOMPARE(label(w)->text(), QStringLiteral("Corvin准备完成"));
}

QTEST_MAIN(tst_PrepareCourse)
#include "tst_preparecourse.moc"
