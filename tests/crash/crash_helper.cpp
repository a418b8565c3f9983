// Crashes on purpose after installing the crash handler the way main does.
// Usage: corvin_crash_helper <kind> <real|false|stuck|fault> [--previous]
//   kind: segv (null write), abrt (abort()), fpe and ill (Linux), bus (Linux: a page past the end
//         of its file), all in crashHere on the main thread; thread (segv on a second thread),
//         overflow (main thread's stack runs out), locked (segv while this thread holds the log
//         lock), event (segv from a timer in the event loop), afterquit (segv in a task on the
//         global pool while ~QCoreApplication waits for it)
//   real:       MiniDumpCallback itself is the completion callback (its answer is the outcome)
//   false:      MiniDumpCallback runs, but the handler is told the crash was not handled
//   stuck:      MiniDumpCallback runs, then the callback waits for a lock the main thread holds
//   fault:      MiniDumpCallback runs, then the callback faults
//   --previous: installs a handler before the crash handler that reports on stderr
// corvin_crash_helper poke <image name> (Windows): makes the running process of that name crash,
// with a thread started in it at address 0.
#include "app/LogMessageHandler.h"
#include "crash/CrashHandler.h"
#include "crash/MiniDumpCallback.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#ifdef Q_OS_WIN
#include <tlhelp32.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

volatile int sink;
std::mutex held;

bool notHandled(const wchar_t *dumpPath, const wchar_t *dumpId, void *context,
                EXCEPTION_POINTERS *exceptionInfo, MDRawAssertionInfo *assertionInfo,
                bool succeeded)
{
    MiniDumpCallback(dumpPath, dumpId, context, exceptionInfo, assertionInfo, succeeded);
    return false;
}

bool stuck(const wchar_t *dumpPath, const wchar_t *dumpId, void *context,
           EXCEPTION_POINTERS *exceptionInfo, MDRawAssertionInfo *assertionInfo, bool succeeded)
{
    MiniDumpCallback(dumpPath, dumpId, context, exceptionInfo, assertionInfo, succeeded);
    held.lock();
    return succeeded;
}

// Un-instrumented, like crashHere: the sanitizers would stop the null write themselves.
__attribute__((no_sanitize("undefined"))) bool faulty(const wchar_t *dumpPath,
                                                      const wchar_t *dumpId, void *context,
                                                      EXCEPTION_POINTERS *exceptionInfo,
                                                      MDRawAssertionInfo *assertionInfo,
                                                      bool succeeded)
{
    MiniDumpCallback(dumpPath, dumpId, context, exceptionInfo, assertionInfo, succeeded);
    volatile int *volatile nowhere = nullptr;
    *nowhere = 42;
    return succeeded;
}

#ifdef Q_OS_WIN
int poke(const char *imageName)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    DWORD pid = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !pid;
         more = Process32NextW(snapshot, &entry)) {
        if (QString::fromWCharArray(entry.szExeFile)
                    .compare(QLatin1String(imageName), Qt::CaseInsensitive)
            == 0)
            pid = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    HANDLE process = pid ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid) : nullptr;
    HANDLE thread = process ? CreateRemoteThread(process, nullptr, 0, nullptr, nullptr, 0, nullptr)
                            : nullptr;
    std::printf("poked %s (pid %lu): %s\n", imageName, pid, thread ? "yes" : "no");
    return thread ? 0 : 1;
}

LONG WINAPI previousFilter(EXCEPTION_POINTERS *info)
{
    char text[64];
    const int length = std::snprintf(text, sizeof text, "previous handler: %08lx\n",
                                     info->ExceptionRecord->ExceptionCode);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(length), &written, nullptr);
    return EXCEPTION_EXECUTE_HANDLER;
}

void previousAbort(int)
{
    const char text[] = "previous handler: 40000015\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, DWORD(sizeof text - 1), &written, nullptr);
}

void installPrevious()
{
    SetUnhandledExceptionFilter(previousFilter);
    std::signal(SIGABRT, previousAbort);
}
#else
void previousHandler(int signalNumber, siginfo_t *info, void *)
{
    char text[] = "previous handler: 00\n";
    text[18] = char('0' + signalNumber / 10);
    text[19] = char('0' + signalNumber % 10);
    ssize_t ignored = ::write(2, text, sizeof text - 1);
    (void)ignored;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    ::sigaction(signalNumber, &action, nullptr);
    if (info->si_code <= 0 || signalNumber == SIGABRT)
        ::raise(signalNumber);
}

void installPrevious()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = previousHandler;
    action.sa_flags = SA_SIGINFO;
    for (int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        ::sigaction(signalNumber, &action, nullptr);
}
#endif

} // namespace

// Kept out of line and un-instrumented so that the fault happens here, in a frame of this name.
extern "C" __attribute__((noinline, no_sanitize("undefined"))) void crashHere(const char *kind)
{
    if (std::strcmp(kind, "segv") == 0) {
        volatile int *volatile nowhere = nullptr;
        *nowhere = 42;
    } else if (std::strcmp(kind, "abrt") == 0) {
        std::abort();
#ifndef Q_OS_WIN
    } else if (std::strcmp(kind, "fpe") == 0) {
        // Both operands volatile: GCC turns 1 / x into a comparison that cannot trap.
        volatile int dividend = 7;
        volatile int zero = 0;
        sink = dividend / zero;
    } else if (std::strcmp(kind, "ill") == 0) {
        __builtin_trap();
    } else if (std::strcmp(kind, "bus") == 0) {
        // Reading a mapped page past the end of its file.
        char name[] = "/tmp/corvin-bus-XXXXXX";
        const int fd = ::mkstemp(name);
        ::unlink(name);
        if (fd >= 0 && ::ftruncate(fd, 4096) == 0) {
            void *page = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
            if (page != MAP_FAILED && ::ftruncate(fd, 0) == 0)
                sink = *static_cast<volatile char *>(page);
        }
#endif
    }
    sink = sink + 1;
}

// Recurses until the stack runs out; the array keeps every frame big and alive.
extern "C" __attribute__((noinline)) int overflowHere(int depth)
{
    volatile char frame[512];
    frame[0] = char(depth);
    return overflowHere(depth + 1) + frame[0];
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "corvin_crash_helper (%s build): a kind and a callback, please\n",
                     CORVIN_HELPER_BUILD);
        return 2;
    }
    QCoreApplication app(argc, argv);
    runTimestamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    qInstallMessageHandler(logMessageHandler);

    if (argc > 3 && std::strcmp(argv[3], "--previous") == 0)
        installPrevious();

    const QString dumpFolder = QDir::currentPath() + QStringLiteral("/") + QStringLiteral("dump/");
#ifdef Q_OS_WIN
    if (std::strcmp(argv[1], "poke") == 0)
        return poke(argv[2]);
#endif
    const QByteArray callback = argv[2];
    CrashHandler::MinidumpCallback completion = notHandled;
    if (callback == "real")
        completion = MiniDumpCallback;
    else if (callback == "stuck")
        completion = stuck;
    else if (callback == "fault")
        completion = faulty;
    const bool installed
            = CrashHandler::installForProcess(dumpFolder.toStdWString(), completion, nullptr);
    std::printf("pid %lld installed %d\n", QCoreApplication::applicationPid(), installed ? 1 : 0);
    std::fflush(stdout);
    if (callback == "stuck")
        held.lock();

    const QByteArray kind = argv[1];
    if (kind == "thread") {
        // The worker faults once the main thread waits for it, so that the main thread's stack
        // in the dump always ends in the join.
        std::atomic<bool> joining {false};
        std::thread worker([&joining] {
            while (!joining.load())
                QThread::msleep(1);
            QThread::msleep(100);
            crashHere("segv");
        });
        joining.store(true);
        worker.join();
    } else if (kind == "overflow") {
        sink = overflowHere(0);
    } else if (kind == "locked") {
        // As if the thread had crashed inside the log handler.
        logMutex.lock();
        crashHere("segv");
    } else if (kind == "event") {
        QTimer::singleShot(0, &app, [] { crashHere("segv"); });
        return app.exec();
    } else if (kind == "afterquit") {
        // As main ends: the event loop has returned, and ~QCoreApplication waits for a task on
        // the global pool that is still winding down.
        QThreadPool::globalInstance()->start([] {
            while (!QCoreApplication::closingDown())
                QThread::msleep(1);
            crashHere("segv");
        });
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
        return app.exec();
    } else {
        crashHere(kind.constData());
    }
    return 3; // not reached: every kind faults
}
