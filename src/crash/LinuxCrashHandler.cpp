#include "LinuxCrashHandler.h"

#include "crash/MinidumpWriter.h"

#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

const int LinuxCrashHandler::handledSignals[LinuxCrashHandler::signalCount]
        = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
std::atomic<LinuxCrashHandler *> LinuxCrashHandler::active {nullptr};

// Everything below that the crashed thread or the handler thread runs during a crash sticks to
// async-signal-safe system calls and memory allocated up front: the crashed thread may have
// stopped inside malloc or while holding any lock.
namespace {

const size_t minimumAltStackSize = 64 * 1024;

pid_t currentThreadId()
{
    return pid_t(::syscall(SYS_gettid));
}

long long monotonicMs()
{
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool writeAll(int fd, const char *data, int size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= int(written);
    }
    return true;
}

// Reads exactly `size` bytes unless `timeoutMs` runs out first.
bool readWithin(int fd, char *out, int size, int timeoutMs)
{
    const long long deadline = monotonicMs() + timeoutMs;
    int got = 0;
    while (got < size) {
        const long long left = deadline - monotonicMs();
        if (left <= 0)
            return false;
        struct pollfd waiting = {fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = ::read(fd, out + got, size_t(size - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += int(n);
    }
    return true;
}

bool getRandom(unsigned char *out, int size)
{
    // GRND_NONBLOCK: never wait for the entropy pool during a crash.
    const long got = ::syscall(SYS_getrandom, out, size_t(size), 0x0001);
    return got == size;
}

// The GUID text of 16 bytes: "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x".
void formatGuid(const unsigned char *bytes, char *out)
{
    static const char digits[] = "0123456789abcdef";
    // data1, data2 and data3 are little-endian integers in the GUID's memory.
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    int at = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out[at++] = '-';
        out[at++] = digits[bytes[order[i]] >> 4];
        out[at++] = digits[bytes[order[i]] & 0xf];
    }
    out[at] = '\0';
}

// Copies a signal frame's registers: the frame (and the floating-point state it points to)
// lives on the stack of the thread that got the signal.
void copyContext(CrashContext &out, const void *context)
{
    std::memcpy(&out.context, context, sizeof out.context);
#if defined(__x86_64__)
    const ucontext_t *frame = static_cast<const ucontext_t *>(context);
    out.hasFloatState = frame->uc_mcontext.fpregs != nullptr;
    if (out.hasFloatState)
        std::memcpy(&out.floatState, frame->uc_mcontext.fpregs, sizeof out.floatState);
#endif
}

void setDefaultAction(int signalNumber)
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    ::sigaction(signalNumber, &action, nullptr);
}

} // namespace

LinuxCrashHandler::LinuxCrashHandler(const std::wstring &dumpFolder, MinidumpCallback callback,
                                     void *callbackContext)
    : folder(dumpFolder)
    , folderBytes(QFile::encodeName(QString::fromStdWString(dumpFolder)).toStdString())
    , callback(callback)
    , callbackContext(callbackContext)
{
    std::memset(previous, 0, sizeof previous);
    std::memset(&previousContextAction, 0, sizeof previousContextAction);
    std::memset(&previousStack, 0, sizeof previousStack);
    if (active.load())
        return;

    writer = new MinidumpWriter;
    crash = new CrashContext;
    mainThread = new CrashContext;
    pathBuffer = new char[folderBytes.size() + 64];
    // Used only when getrandom() fails at crash time.
    if (!getRandom(spareRandom, sizeof spareRandom)) {
        QFile urandom(QStringLiteral("/dev/urandom"));
        if (urandom.open(QIODevice::ReadOnly))
            urandom.read(reinterpret_cast<char *>(spareRandom), sizeof spareRandom);
    }

    for (int *pipe : {requestPipe, replyPipe, mainPipe, releasePipe}) {
        if (::pipe2(pipe, O_CLOEXEC) != 0)
            return;
    }

    // The handler thread starts with every signal blocked: process signals are not its business,
    // and a fault of its own then ends the process at once instead of re-entering the handler.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    threadStarted = pthread_create(&thread, nullptr, &LinuxCrashHandler::threadMain, this) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!threadStarted)
        return;

    // A stack overflow leaves no room on the thread's own stack to run the handler. Only the
    // installing thread (the main thread) gets this stack; it keeps a big enough one it has.
    installThreadId = currentThreadId();
    size_t stackSize = minimumAltStackSize;
    if (size_t(SIGSTKSZ) * 4 > stackSize)
        stackSize = size_t(SIGSTKSZ) * 4;
    if (::sigaltstack(nullptr, &previousStack) == 0
        && ((previousStack.ss_flags & SS_DISABLE) || previousStack.ss_size < stackSize)) {
        void *memory = ::mmap(nullptr, stackSize, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory != MAP_FAILED) {
            stack_t stack;
            std::memset(&stack, 0, sizeof stack);
            stack.ss_sp = memory;
            stack.ss_size = stackSize;
            if (::sigaltstack(&stack, nullptr) == 0) {
                ownStack = memory;
                ownStackSize = stackSize;
            } else {
                ::munmap(memory, stackSize);
            }
        }
    }

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    for (int signalNumber : handledSignals)
        sigaddset(&action.sa_mask, signalNumber);
    action.sa_sigaction = &LinuxCrashHandler::onSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    active.store(this);
    for (int i = 0; i < signalCount; ++i)
        ::sigaction(handledSignals[i], &action, &previous[i]);

    struct sigaction request;
    std::memset(&request, 0, sizeof request);
    sigemptyset(&request.sa_mask);
    request.sa_sigaction = &LinuxCrashHandler::onContextRequest;
    request.sa_flags = SA_SIGINFO | SA_RESTART;
    ::sigaction(contextSignal(), &request, &previousContextAction);
    installed = true;
}

int LinuxCrashHandler::contextSignal()
{
    return SIGRTMAX - 1;
}

LinuxCrashHandler::~LinuxCrashHandler()
{
    if (installed) {
        restoreHandlers();
        active.store(nullptr);
        // The alternate stack belongs to the installing thread; elsewhere it is left alone
        // (and its memory kept) rather than pulled from under that thread.
        if (ownStack && currentThreadId() == installThreadId) {
            stack_t stack = previousStack;
            stack.ss_flags &= SS_DISABLE;
            ::sigaltstack(&stack, nullptr);
            ::munmap(ownStack, ownStackSize);
        }
        ownStack = nullptr;
        installed = false;
    }
    if (threadStarted) {
        writeAll(requestPipe[1], "q", 1);
        pthread_join(thread, nullptr);
    }
    for (int fd : {requestPipe[0], requestPipe[1], replyPipe[0], replyPipe[1], mainPipe[0],
                   mainPipe[1], releasePipe[0], releasePipe[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
    delete writer;
    delete crash;
    delete mainThread;
    delete[] pathBuffer;
}

void LinuxCrashHandler::restoreHandlers()
{
    for (int i = 0; i < signalCount; ++i)
        ::sigaction(handledSignals[i], &previous[i], nullptr);
    ::sigaction(contextSignal(), &previousContextAction, nullptr);
}

void *LinuxCrashHandler::threadMain(void *self)
{
    static_cast<LinuxCrashHandler *>(self)->serve();
    return nullptr;
}

void LinuxCrashHandler::serve()
{
    handlerThreadId.store(currentThreadId());
    for (;;) {
        char request = 0;
        const ssize_t n = ::read(requestPipe[0], &request, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || request != 'c')
            return;
        const bool succeeded = writeDump();
        const char dumped[2] = {'D', succeeded ? '1' : '0'};
        writeAll(replyPipe[1], dumped, 2);
        // The dump is on disk: from here on the callback may allocate and log. The crashed
        // thread stops waiting for it after callbackWaitMs.
        const bool handled = callback
                ? callback(folder.c_str(), dumpId, callbackContext, nullptr, nullptr, succeeded)
                : succeeded;
        const char answered[2] = {'C', handled ? '1' : '0'};
        writeAll(replyPipe[1], answered, 2);
    }
}

bool LinuxCrashHandler::writeDump()
{
    unsigned char guid[16];
    if (!getRandom(guid, sizeof guid)) {
        const long long now = monotonicMs();
        for (int i = 0; i < 16; ++i)
            guid[i] = spareRandom[i] ^ (unsigned char)(now >> ((i % 8) * 8));
        ++spareRandom[0];
    }
    char idText[37];
    formatGuid(guid, idText);
    for (int i = 0; i <= 36; ++i)
        dumpId[i] = wchar_t(idText[i]);

    size_t length = folderBytes.size();
    std::memcpy(pathBuffer, folderBytes.data(), length);
    if (length > 0 && pathBuffer[length - 1] != '/')
        pathBuffer[length++] = '/';
    std::memcpy(pathBuffer + length, idText, 36);
    std::memcpy(pathBuffer + length + 36, ".dmp", 5);

    int fd;
    do {
        fd = ::open(pathBuffer, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    bool ok = writer->write(fd, *crash, mainCaptured.load() ? mainThread : nullptr);
    if (::close(fd) != 0)
        ok = false;
    // A cut-off dump is no dump: the callback hears of a failure and finds no file.
    if (!ok)
        ::unlink(pathBuffer);
    return ok;
}

void LinuxCrashHandler::onSignal(int signalNumber, siginfo_t *info, void *context)
{
    const int savedErrno = errno;
    LinuxCrashHandler *self = active.load();
    const pid_t threadId = currentThreadId();
    bool handled = false;

    if (!self) {
        // Uninstalled while the signal was on its way: nothing to restore to but the default.
        setDefaultAction(signalNumber);
    } else {
        int expected = 0;
        if (self->crashingThreadId.compare_exchange_strong(expected, threadId)) {
            if (threadId != self->handlerThreadId.load()) {
                CrashContext &crash = *self->crash;
                crash.signalNumber = signalNumber;
                crash.signalCode = info->si_code;
                // For a sent signal (si_code <= 0) the union holds the sender, not an address.
                crash.faultAddress = info->si_code > 0 ? quint64(quintptr(info->si_addr)) : 0;
                crash.threadId = threadId;
                copyContext(crash, context);
                // Another thread crashed: the main thread's stack goes into the dump too.
                char answer = 0;
                if (threadId != self->installThreadId)
                    self->mainCaptured.store(
                            ::syscall(SYS_tgkill, ::getpid(), self->installThreadId,
                                      contextSignal())
                                    == 0
                            && readWithin(self->mainPipe[0], &answer, 1, mainWaitMs));
                char reply[2];
                if (writeAll(self->requestPipe[1], "c", 1)
                    && readWithin(self->replyPipe[0], reply, 2, dumpWaitMs) && reply[0] == 'D') {
                    // Should the callback hang (a lock the crashed thread held), its answer
                    // would have been the dump's outcome.
                    handled = reply[1] == '1';
                    if (readWithin(self->replyPipe[0], reply, 2, callbackWaitMs) && reply[0] == 'C')
                        handled = reply[1] == '1';
                }
            }
            writeAll(self->releasePipe[1], "r", 1);
            // One crash per process: whatever happens next happens under the old handlers.
            self->restoreHandlers();
            self->crashDecided.store(true);
        } else if (expected == threadId) {
            // A fault inside the handling of this thread's own crash.
            self->restoreHandlers();
            setDefaultAction(signalNumber);
        } else {
            // Another thread crashed first: once that is decided, go on under the handlers it
            // left in place.
            while (!self->crashDecided.load()) {
                const struct timespec pause = {0, 10 * 1000 * 1000};
                ::nanosleep(&pause, nullptr);
            }
        }
    }

    if (handled)
        setDefaultAction(signalNumber);
    // A fault raised by an instruction comes back by itself when the handler returns; a signal
    // that was sent (kill, raise, abort) has to be sent again.
    if (info->si_code <= 0 || signalNumber == SIGABRT) {
        if (::syscall(SYS_tgkill, ::getpid(), threadId, signalNumber) < 0)
            ::_exit(128 + signalNumber);
    }
    errno = savedErrno;
}

// On the main thread, asked by a crashed thread: its registers for the dump. It then stays still
// until the crash is decided, so that its stack does not change while the dump copies it.
void LinuxCrashHandler::onContextRequest(int, siginfo_t *info, void *context)
{
    const int savedErrno = errno;
    LinuxCrashHandler *self = active.load();
    // Only this process's crash handling asks; a signal from anywhere else is ignored.
    if (self && info->si_code == SI_TKILL && info->si_pid == ::getpid()
        && self->crashingThreadId.load() != 0) {
        self->mainThread->threadId = currentThreadId();
        copyContext(*self->mainThread, context);
        writeAll(self->mainPipe[1], "m", 1);
        char released = 0;
        readWithin(self->releasePipe[0], &released, 1, dumpWaitMs + callbackWaitMs);
    }
    errno = savedErrno;
}

CrashHandler *CrashHandler::create(const std::wstring &dumpFolder, MinidumpCallback callback,
                                   void *callbackContext)
{
    return new LinuxCrashHandler(dumpFolder, callback, callbackContext);
}
