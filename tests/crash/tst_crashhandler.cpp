#include "crash/CrashHandler.h"
#include "crash/MiniDumpCallback.h"
#include "crash/WindowsCrashHandler.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <vector>

// What the handler object does to the process's signal set-up, queried in-process.
class tst_CrashHandler : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installedAndRestored_data();
    void installedAndRestored();
    void alternateStack_data();
    void alternateStack();
    void oneHandlerAtATime();
    void dumpFolderNotCreated();

private:
#ifdef Q_OS_LINUX
    struct sigaction original[CrashHandler::signalCount];
    stack_t originalStack;
    std::vector<char> testStack;
#endif
};

#ifdef Q_OS_LINUX

namespace {

void testHandler(int, siginfo_t *, void *) { }

struct sigaction query(int signalNumber)
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigaction(signalNumber, nullptr, &action);
    return action;
}

stack_t queryStack()
{
    stack_t stack;
    std::memset(&stack, 0, sizeof stack);
    sigaltstack(nullptr, &stack);
    return stack;
}

std::wstring folderIn(const QTemporaryDir &dir)
{
    return (dir.path() + QStringLiteral("/dump/")).toStdWString();
}

} // namespace

void tst_CrashHandler::init()
{
    // QTest has crash handlers (and maybe a stack) of its own; each test starts from them.
    for (int i = 0; i < CrashHandler::signalCount; ++i)
        sigaction(CrashHandler::handledSignals[i], nullptr, &original[i]);
    originalStack = queryStack();
}

void tst_CrashHandler::cleanup()
{
    for (int i = 0; i < CrashHandler::signalCount; ++i)
        sigaction(CrashHandler::handledSignals[i], &original[i], nullptr);
    stack_t stack = originalStack;
    stack.ss_flags &= SS_DISABLE;
    sigaltstack(&stack, nullptr);
    testStack.clear();
}

void tst_CrashHandler::installedAndRestored_data()
{
    QTest::addColumn<int>("before");
    QTest::newRow("default action") << 0;
    QTest::newRow("ignored") << 1;
    QTest::newRow("own handler") << 2;
}

void tst_CrashHandler::installedAndRestored()
{
    QFETCH(int, before);
    struct sigaction previous;
    std::memset(&previous, 0, sizeof previous);
    sigemptyset(&previous.sa_mask);
    if (before == 0) {
        previous.sa_handler = SIG_DFL;
    } else if (before == 1) {
        previous.sa_handler = SIG_IGN;
    } else {
        previous.sa_sigaction = testHandler;
        previous.sa_flags = SA_SIGINFO | SA_RESTART;
        sigaddset(&previous.sa_mask, SIGUSR1);
    }
    for (int signalNumber : CrashHandler::handledSignals)
        QCOMPARE(sigaction(signalNumber, &previous, nullptr), 0);

    QTemporaryDir dir;
    auto *handler = new CrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(handler->isInstalled());
    for (int signalNumber : CrashHandler::handledSignals) {
        const struct sigaction now = query(signalNumber);
        QVERIFY(now.sa_flags & SA_SIGINFO);
        QVERIFY(now.sa_flags & SA_ONSTACK);
        QVERIFY(now.sa_sigaction != previous.sa_sigaction);
        QVERIFY(now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN);
    }

    delete handler;
    for (int signalNumber : CrashHandler::handledSignals) {
        const struct sigaction now = query(signalNumber);
        if (before == 2)
            QVERIFY(now.sa_sigaction == previous.sa_sigaction);
        else
            QVERIFY(now.sa_handler == previous.sa_handler);
        // The kernel may add SA_RESTORER; everything else comes back as it was.
        QCOMPARE(now.sa_flags & ~0x04000000, previous.sa_flags);
        QCOMPARE(sigismember(&now.sa_mask, SIGUSR1), sigismember(&previous.sa_mask, SIGUSR1));
    }
}

void tst_CrashHandler::alternateStack_data()
{
    QTest::addColumn<int>("existingSize");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("none") << 0 << true;
    QTest::newRow("too small") << 16 * 1024 << true;
    QTest::newRow("big enough") << 256 * 1024 << false;
}

void tst_CrashHandler::alternateStack()
{
    QFETCH(int, existingSize);
    QFETCH(bool, replaced);
    stack_t existing;
    std::memset(&existing, 0, sizeof existing);
    if (existingSize == 0) {
        existing.ss_flags = SS_DISABLE;
    } else {
        testStack.resize(size_t(existingSize));
        existing.ss_sp = testStack.data();
        existing.ss_size = size_t(existingSize);
    }
    QCOMPARE(sigaltstack(&existing, nullptr), 0);

    QTemporaryDir dir;
    auto *handler = new CrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(handler->isInstalled());
    const stack_t during = queryStack();
    QCOMPARE(during.ss_flags & SS_DISABLE, 0);
    QVERIFY(during.ss_size >= 64 * 1024);
    QCOMPARE(during.ss_sp != existing.ss_sp, replaced);

    delete handler;
    const stack_t after = queryStack();
    QCOMPARE(after.ss_flags & SS_DISABLE, existing.ss_flags & SS_DISABLE);
    if (existingSize != 0) {
        QCOMPARE(after.ss_sp, existing.ss_sp);
        QCOMPARE(after.ss_size, existing.ss_size);
    }
}

void tst_CrashHandler::oneHandlerAtATime()
{
    struct sigaction previous;
    std::memset(&previous, 0, sizeof previous);
    previous.sa_handler = SIG_DFL;
    for (int signalNumber : CrashHandler::handledSignals)
        sigaction(signalNumber, &previous, nullptr);

    QTemporaryDir dir;
    auto *first = new CrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(first->isInstalled());
    const struct sigaction installed = query(SIGSEGV);

    auto *second = new CrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(!second->isInstalled());
    delete second;
    // The second one neither replaced nor removed the first's handlers.
    QVERIFY(query(SIGSEGV).sa_sigaction == installed.sa_sigaction);
    QVERIFY(query(SIGABRT).sa_sigaction == installed.sa_sigaction);

    delete first;
    QVERIFY(query(SIGSEGV).sa_handler == SIG_DFL);

    // Once the first is gone, a new one may install again.
    auto *third = new CrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(third->isInstalled());
    QVERIFY(query(SIGSEGV).sa_sigaction == installed.sa_sigaction);
    delete third;
    QVERIFY(query(SIGSEGV).sa_handler == SIG_DFL);
}

void tst_CrashHandler::dumpFolderNotCreated()
{
    QTemporaryDir dir;
    auto *handler = new CrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(handler->isInstalled());
    QVERIFY(!QDir(dir.path() + QStringLiteral("/dump")).exists());
    delete handler;
    QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

#else

// What the handler object does to the process's crash hooks, queried in-process: the
// unhandled-exception filter, the abort signal, the C runtime's pure-call and invalid-parameter
// handlers.
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

} // namespace

void tst_CrashHandler::init()
{
    original = Hooks::now();
}

void tst_CrashHandler::cleanup()
{
    original.install();
}

void tst_CrashHandler::installedAndRestored_data()
{
    QTest::addColumn<bool>("ownBefore");
    QTest::newRow("nothing before") << false;
    QTest::newRow("own hooks before") << true;
}

void tst_CrashHandler::installedAndRestored()
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

void tst_CrashHandler::alternateStack_data()
{
    QTest::addColumn<int>("unused");
    QTest::newRow("Linux only") << 0;
}

void tst_CrashHandler::alternateStack()
{
    QSKIP("the alternate signal stack is Linux's; Windows keeps stack for the filter with "
          "SetThreadStackGuarantee");
}

void tst_CrashHandler::oneHandlerAtATime()
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

void tst_CrashHandler::dumpFolderNotCreated()
{
    QTemporaryDir dir;
    auto *handler = new WindowsCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(handler->isInstalled());
    QVERIFY(!QDir(dir.path() + QStringLiteral("/dump")).exists());
    delete handler;
    QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

#endif // Q_OS_LINUX

QTEST_GUILESS_MAIN(tst_CrashHandler)
#include "tst_crashhandler.moc"
