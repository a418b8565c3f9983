#include "crash/LinuxCrashHandler.h"
#include "crash/MiniDumpCallback.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <vector>

// What the handler object does to the process's signal set-up, queried in-process.
class tst_LinuxCrashHandler : public QObject
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
    struct sigaction original[LinuxCrashHandler::signalCount];
    stack_t originalStack;
    std::vector<char> testStack;
};

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

void tst_LinuxCrashHandler::init()
{
    // QTest has crash handlers (and maybe a stack) of its own; each test starts from them.
    for (int i = 0; i < LinuxCrashHandler::signalCount; ++i)
        sigaction(LinuxCrashHandler::handledSignals[i], nullptr, &original[i]);
    originalStack = queryStack();
}

void tst_LinuxCrashHandler::cleanup()
{
    for (int i = 0; i < LinuxCrashHandler::signalCount; ++i)
        sigaction(LinuxCrashHandler::handledSignals[i], &original[i], nullptr);
    stack_t stack = originalStack;
    stack.ss_flags &= SS_DISABLE;
    sigaltstack(&stack, nullptr);
    testStack.clear();
}

void tst_LinuxCrashHandler::installedAndRestored_data()
{
    QTest::addColumn<int>("before");
    QTest::newRow("default action") << 0;
    QTest::newRow("ignored") << 1;
    QTest::newRow("own handler") << 2;
}

void tst_LinuxCrashHandler::installedAndRestored()
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
    for (int signalNumber : LinuxCrashHandler::handledSignals)
        QCOMPARE(sigaction(signalNumber, &previous, nullptr), 0);

    const int request = LinuxCrashHandler::contextSignal();
    QVERIFY(query(request).sa_handler == SIG_DFL);

    QTemporaryDir dir;
    auto *handler = new LinuxCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(handler->isInstalled());
    for (int signalNumber : LinuxCrashHandler::handledSignals) {
        const struct sigaction now = query(signalNumber);
        QVERIFY(now.sa_flags & SA_SIGINFO);
        QVERIFY(now.sa_flags & SA_ONSTACK);
        QVERIFY(now.sa_sigaction != previous.sa_sigaction);
        QVERIFY(now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN);
    }
    // The main thread's answer to a crash of another thread.
    QVERIFY(query(request).sa_flags & SA_SIGINFO);
    QVERIFY(query(request).sa_handler != SIG_DFL);

    delete handler;
    QVERIFY(query(request).sa_handler == SIG_DFL);
    for (int signalNumber : LinuxCrashHandler::handledSignals) {
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

void tst_LinuxCrashHandler::alternateStack_data()
{
    QTest::addColumn<int>("existingSize");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("none") << 0 << true;
    QTest::newRow("too small") << 16 * 1024 << true;
    QTest::newRow("big enough") << 256 * 1024 << false;
}

void tst_LinuxCrashHandler::alternateStack()
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
    auto *handler = new LinuxCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
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

void tst_LinuxCrashHandler::oneHandlerAtATime()
{
    struct sigaction previous;
    std::memset(&previous, 0, sizeof previous);
    previous.sa_handler = SIG_DFL;
    for (int signalNumber : LinuxCrashHandler::handledSignals)
        sigaction(signalNumber, &previous, nullptr);

    QTemporaryDir dir;
    auto *first = new LinuxCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(first->isInstalled());
    const struct sigaction installed = query(SIGSEGV);

    auto *second = new LinuxCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(!second->isInstalled());
    delete second;
    // The second one neither replaced nor removed the first's handlers.
    QVERIFY(query(SIGSEGV).sa_sigaction == installed.sa_sigaction);
    QVERIFY(query(SIGABRT).sa_sigaction == installed.sa_sigaction);

    delete first;
    QVERIFY(query(SIGSEGV).sa_handler == SIG_DFL);

    // Once the first is gone, a new one may install again.
    auto *third = new LinuxCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(third->isInstalled());
    QVERIFY(query(SIGSEGV).sa_sigaction == installed.sa_sigaction);
    delete third;
    QVERIFY(query(SIGSEGV).sa_handler == SIG_DFL);
}

void tst_LinuxCrashHandler::dumpFolderNotCreated()
{
    QTemporaryDir dir;
    auto *handler = new LinuxCrashHandler(folderIn(dir), MiniDumpCallback, nullptr);
    QVERIFY(handler->isInstalled());
    QVERIFY(!QDir(dir.path() + QStringLiteral("/dump")).exists());
    delete handler;
    QVERIFY(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

QTEST_GUILESS_MAIN(tst_LinuxCrashHandler)
#include "tst_linuxcrashhandler.moc"
