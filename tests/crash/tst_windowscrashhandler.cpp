#include "crash/MiniDumpCallback.h"
#include "crash/WindowsCrashHandler.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// What the handler object does to the process's crash hooks, queried in-process: the
// unhandled-exception filter, the abort signal, the C runtime's pure-call and invalid-parameter
// handlers; and what its filter answers for a crash it could not handle.
class tst_WindowsCrashHandler : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installedAndRestored_data();
    void installedAndRestored();
    void oneHandlerAtATime();
    void dumpFolderNotCreated();
    void notHandledCrashEnds_data();
    void notHandledCrashEnds();
};

namespace {

LONG WINAPI testFilter(EXCEPTION_POINTERS *)
{
    return EXCEPTION_CONTINUE_SEARCH;
}
void testAbort(int) { }
void testPureCall() { }
void testInvalidParameter(const wchar_t *, const wchar_t *, const wchar_t *, unsigned int,
                          uintptr_t)
{ }

struct Hooks
{
    LPTOP_LEVEL_EXCEPTION_FILTER filter;
    void (*abort)(int);
    _purecall_handler pureCall;
    _invalid_parameter_handler invalidParameter;

    // Reading a hook means setting it; each is put back at once.
    static Hooks now()
    {
        Hooks hooks;
        hooks.filter = SetUnhandledExceptionFilter(nullptr);
        SetUnhandledExceptionFilter(hooks.filter);
        hooks.abort = std::signal(SIGABRT, SIG_DFL);
        std::signal(SIGABRT, hooks.abort);
        hooks.pureCall = _set_purecall_handler(nullptr);
        _set_purecall_handler(hooks.pureCall);
        hooks.invalidParameter = _set_invalid_parameter_handler(nullptr);
        _set_invalid_parameter_handler(hooks.invalidParameter);
        return hooks;
    }
    void install() const
    {
        SetUnhandledExceptionFilter(filter);
        std::signal(SIGABRT, abort);
        _set_purecall_handler(pureCall);
        _set_invalid_parameter_handler(invalidParameter);
    }
};

Hooks original;

std::wstring folderIn(const QTemporaryDir &dir)
{
    return (dir.path() + QStringLiteral("/dump/")).toStdWString();
}

// Stands in for the filter installed before; MinGW's C runtime installs one that answers
// EXCEPTION_CONTINUE_SEARCH for every fault no signal() handler takes.
LONG previousAnswer = EXCEPTION_CONTINUE_SEARCH;
int previousCalls = 0;
LONG WINAPI answeringFilter(EXCEPTION_POINTERS *)
{
    ++previousCalls;
    return previousAnswer;
}

} // namespace

void tst_WindowsCrashHandler::init()
{
    original = Hooks::now();
}

void tst_WindowsCrashHandler::cleanup()
{
    original.install();
}

void tst_WindowsCrashHandler::installedAndRestored_data()
{
    QTest::addColumn<bool>("ownBefore");
    QTest::newRow("nothing before") << false;
    QTest::newRow("own hooks before") << true;
}

void tst_WindowsCrashHandler::installedAndRestored()
{
    QFETCH(bool, ownBefore);
    const Hooks before = ownBefore
            ? Hooks {testFilter, testAbort, testPureCall, testInvalidParameter}
            : Hooks {nullptr, SIG_DFL, nullptr, nullptr};
    before.install();

    QTemporaryDir dir;
    auto *handler = new WindowsCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(handler->isInstalled());
    const Hooks during = Hooks::now();
    QVERIFY(during.filter && during.filter != before.filter);
    QVERIFY(during.abort != SIG_DFL && during.abort != before.abort);
    QVERIFY(during.pureCall && during.pureCall != before.pureCall);
    QVERIFY(during.invalidParameter && during.invalidParameter != before.invalidParameter);

    delete handler;
    const Hooks after = Hooks::now();
    QVERIFY(after.filter == before.filter);
    QVERIFY(after.abort == before.abort);
    QVERIFY(after.pureCall == before.pureCall);
    QVERIFY(after.invalidParameter == before.invalidParameter);
}

void tst_WindowsCrashHandler::oneHandlerAtATime()
{
    QTemporaryDir dir;
    auto *first = new WindowsCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(first->isInstalled());
    const Hooks installed = Hooks::now();

    auto *second = new WindowsCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(!second->isInstalled());
    delete second;
    // The second one neither replaced nor removed the first's hooks.
    QVERIFY(Hooks::now().filter == installed.filter);
    QVERIFY(Hooks::now().abort == installed.abort);

    delete first;
    QVERIFY(Hooks::now().filter == original.filter);

    auto *third = new WindowsCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(third->isInstalled());
    QVERIFY(Hooks::now().filter == installed.filter);
    delete third;
    QVERIFY(Hooks::now().filter == original.filter);
}

void tst_WindowsCrashHandler::dumpFolderNotCreated()
{
    QTemporaryDir dir;
    auto *handler = new WindowsCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(handler->isInstalled());
    QVERIFY(!QDir(dir.path() + QStringLiteral("/dump")).exists());
    delete handler;
    QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void tst_WindowsCrashHandler::notHandledCrashEnds_data()
{
    QTest::addColumn<bool>("dumpFolder");
    QTest::addColumn<bool>("previousFilter");
    QTest::addColumn<int>("previous");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("calls");
    const int search = EXCEPTION_CONTINUE_SEARCH;
    const int end = EXCEPTION_EXECUTE_HANDLER;
    const int resume = EXCEPTION_CONTINUE_EXECUTION;
    // A failed dump goes to the filter before; where that declines, the process ends all the
    // same instead of in Windows' error dialog.
    QTest::newRow("dump failed, C runtime's filter before") << false << true << search << end << 1;
    QTest::newRow("dump failed, no filter before") << false << false << search << end << 0;
    QTest::newRow("dump failed, filter before ends") << false << true << end << end << 1;
    QTest::newRow("dump failed, filter before resumes") << false << true << resume << resume << 1;
    QTest::newRow("dump written") << true << true << search << end << 0;
}

void tst_WindowsCrashHandler::notHandledCrashEnds()
{
    QFETCH(bool, dumpFolder);
    QFETCH(bool, previousFilter);
    QFETCH(int, previous);
    QFETCH(int, answer);
    QFETCH(int, calls);
    QTemporaryDir dir;
    if (dumpFolder)
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dump")));
    SetUnhandledExceptionFilter(previousFilter ? answeringFilter : nullptr);
    previousAnswer = previous;
    previousCalls = 0;

    auto *handler = new WindowsCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(handler->isInstalled());
    const LPTOP_LEVEL_EXCEPTION_FILTER filter = Hooks::now().filter;
    // An access violation of this thread, handed to the filter as Windows would.
    CONTEXT context;
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record;
    ZeroMemory(&record, sizeof record);
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    EXCEPTION_POINTERS pointers = {&record, &context};
    const int given = filter(&pointers);
    // Disarms the watchdog the crash armed.
    delete handler;

    QCOMPARE(given, answer);
    QCOMPARE(previousCalls, calls);
    QCOMPARE(QDir(dir.path() + QStringLiteral("/dump")).entryList(QDir::Files).size(),
             dumpFolder ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_WindowsCrashHandler)
#include "tst_windowscrashhandler.moc"
