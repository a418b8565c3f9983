#ifndef LINUXCRASHHANDLER_H
#define LINUXCRASHHANDLER_H

#include "crash/CrashHandler.h"

#include <atomic>
#include <pthread.h>
#include <signal.h>
#include <string>

class MinidumpWriter;
struct CrashContext;

// The crash handler on Linux, where Breakpad is not available. On SIGSEGV, SIGBUS, SIGFPE, SIGILL
// or SIGABRT the crashed thread hands its context to a thread started here, which writes a minidump
// named after a fresh GUID into the dump folder and then calls the completion callback, while the
// crashed thread waits. When another thread than the installing (main) one crashed, the main
// thread is asked for its registers too and holds still meanwhile: the dump shows both stacks.
// The callback's true ends the process by the signal under its default action; false hands the
// crash on to the handlers that were installed before this object. Deleting the object restores
// those handlers (and the main thread's alternate signal stack). One handler at a time: a second
// object installs nothing while the first exists.
class LinuxCrashHandler : public CrashHandler
{
public:
    // `dumpFolder` is used as given; it is not created.
    LinuxCrashHandler(const std::wstring &dumpFolder, MinidumpCallback callback,
                      void *callbackContext);
    ~LinuxCrashHandler() override;

    bool isInstalled() const override { return installed; }

    static const int signalCount = 5;
    static const int handledSignals[signalCount];

    // How long the crashed thread waits for the dump, then for the callback.
    static const int dumpWaitMs = 30000;
    static const int callbackWaitMs = 5000;
    // How long it waits for the main thread's registers when another thread crashed.
    static const int mainWaitMs = 1000;

    // The signal by which a crashed thread asks the main thread for its registers: a real-time
    // signal that nothing else in this program uses.
    static int contextSignal();

private:
    static void onSignal(int signalNumber, siginfo_t *info, void *context);
    static void onContextRequest(int signalNumber, siginfo_t *info, void *context);
    static void *threadMain(void *self);
    void serve();
    bool writeDump();
    void restoreHandlers();

    std::wstring folder;
    std::string folderBytes;
    MinidumpCallback callback;
    void *callbackContext;

    MinidumpWriter *writer = nullptr;
    CrashContext *crash = nullptr;
    CrashContext *mainThread = nullptr;
    std::atomic<bool> mainCaptured {false};
    char *pathBuffer = nullptr;
    wchar_t dumpId[40] = {0};
    unsigned char spareRandom[16] = {0};

    int requestPipe[2] = {-1, -1};
    int replyPipe[2] = {-1, -1};
    int mainPipe[2] = {-1, -1}; // the main thread: its registers are there
    int releasePipe[2] = {-1, -1}; // to the main thread: the crash is decided
    pthread_t thread;
    bool threadStarted = false;
    std::atomic<int> handlerThreadId {0};
    std::atomic<int> crashingThreadId {0};
    std::atomic<bool> crashDecided {false};
    int installThreadId = 0;

    struct sigaction previous[signalCount];
    struct sigaction previousContextAction;
    stack_t previousStack;
    void *ownStack = nullptr;
    size_t ownStackSize = 0;
    bool installed = false;

    static std::atomic<LinuxCrashHandler *> active;
};

#endif // LINUXCRASHHANDLER_H
