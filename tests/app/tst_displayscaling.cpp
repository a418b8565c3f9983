#include "app/DisplayScaling.h"
#include "app/FormFont.h"
#include "config/AppContext.h"
#include "courseware/CoursewareList.h"
#include "courseware/CoursewareSelect.h"
#include "login/LoginWidget.h"
#include "prepare/PrepareCourse.h"

#include "TestSupport.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QWindow>
#include <QtTest>

#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

// The windows at the display's scale, set up as main sets up the program: each keeps its designed
// size in device-independent pixels, so it covers 1.25, 1.5 and 2 times as many device pixels at
// Windows' 125, 150 and 200 %. CTest runs it under Wine at each of these (windows platform) as
// well as at 100 %.
class tst_DisplayScaling : public QObject
{
    Q_OBJECT

private slots:
    void scaleIsTheChosenOne();
    void windowSize_data();
    void windowSize();
    void programLoginWindow();
};

namespace {

bool nativeWindows()
{
    return QGuiApplication::platformName() == QLatin1String("windows");
}

#ifdef Q_OS_WIN
QSize clientSize(HWND window)
{
    RECT rect;
    if (!GetClientRect(window, &rect))
        return QSize();
    return QSize(rect.right - rect.left, rect.bottom - rect.top);
}
#endif

// The window's inside in device pixels: as the window system has it where there is one.
QSize deviceSize(QWidget *window)
{
#ifdef Q_OS_WIN
    if (nativeWindows())
        return clientSize(reinterpret_cast<HWND>(window->winId()));
#endif
    return window->windowHandle()->size() * window->windowHandle()->devicePixelRatio();
}

} // namespace

void tst_DisplayScaling::scaleIsTheChosenOne()
{
    LoginWidget login;
    login.show();
    QVERIFY(QTest::qWaitForWindowExposed(&login));
    QCOMPARE(login.devicePixelRatioF(), TestSupport::chosenDisplayScale());
}

void tst_DisplayScaling::windowSize_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QSize>("designed");
    QTest::newRow("login") << "login" << QSize(640, 480);
    QTest::newRow("selection") << "selection" << QSize(640, 480);
    QTest::newRow("preparation") << "preparation" << QSize(677, 436);
}

void tst_DisplayScaling::windowSize()
{
    QFETCH(QString, window);
    QFETCH(QSize, designed);
    CoursewareList list;
    std::unique_ptr<QWidget> widget;
    if (window == QLatin1String("login"))
        widget.reset(new LoginWidget);
    else if (window == QLatin1String("selection"))
        widget.reset(new CoursewareSelect);
    else
        widget.reset(new PrepareCourse(QStringLiteral("Nothing_1"), &list, nullptr));
    widget->showNormal();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    const QSize logical = widget->size();
    const QSize size = deviceSize(widget.get());
    // The preparation window's copy task reads the list: it ends before both go.
    QThreadPool::globalInstance()->waitForDone();
    widget.reset();
    AppContext::instance().selectWindow = nullptr;
    QCOMPARE(logical, designed);
    QCOMPARE(size, TestSupport::atChosenScale(designed));
}

// The program itself, started as a teacher starts it: its login window at the display's scale.
void tst_DisplayScaling::programLoginWindow()
{
#ifdef Q_OS_WIN
    if (!nativeWindows())
        QSKIP("the program's window is only seen from outside on the windows platform");
    QTemporaryDir workDir;
    QVERIFY(workDir.isValid());
    QProcess corvin;
    corvin.setWorkingDirectory(workDir.path());
    corvin.start(QStringLiteral(CORVIN_EXECUTABLE), QStringList());
    QVERIFY(corvin.waitForStarted());
    struct Search
    {
        DWORD process;
        HWND window;
    } search {DWORD(corvin.processId()), nullptr};
    const auto findVisible = [](HWND window, LPARAM data) -> BOOL {
        auto *search = reinterpret_cast<Search *>(data);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        wchar_t title[64] = {};
        GetWindowTextW(window, title, 64);
        if (process != search->process || !IsWindowVisible(window)
            || QString::fromWCharArray(title) != QStringLiteral("Corvin助手"))
            return TRUE;
        search->window = window;
        return FALSE;
    };
    QTRY_VERIFY_WITH_TIMEOUT(
            (EnumWindows(findVisible, reinterpret_cast<LPARAM>(&search)), search.window), 30000);
    const QSize size = clientSize(search.window);
    corvin.kill();
    corvin.waitForFinished();
    QCOMPARE(size, TestSupport::atChosenScale(QSize(640, 480)));
#else
    QSKIP("Windows' display scaling");
#endif
}

// Set up as main sets up the program, not as QTEST_MAIN would.
int main(int argc, char *argv[])
{
    DisplayScaling::enable();
    QApplication app(argc, argv);
    FormFont::apply(app);
    tst_DisplayScaling test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_displayscaling.moc"
