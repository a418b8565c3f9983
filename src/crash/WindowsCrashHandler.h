#ifndef WINDOWSCRASHHANDLER_H
#define WINDOWSCRASHHANDLER_H

#include "crash/CrashHandler.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <string>

// The crash handler on Windows without Breakpad. An unhandled exception, an abort(), a pure
// virtual call or an invalid parameter reported by the C runtime hands the crashed thread's
// context to a thread started here, which writes a minidump named after a fresh GUID into the
// dump folder with MiniDumpWriteDump and then calls the completion callback, while the crashed
// thread waits; so a crash on an exhausted stack is still written. The callback's true ends the
// process; false hands the crash on to the handler installed before this object, and where that
// declines it too the process ends all the same: Windows' own crash handling would hold it in a
// dialog (and Wine's in its debugger) with nobody there to answer.
// Wine 8 runs no handler after a stack overflow: it ends the thread at once (it keeps no room for
// SetThreadStackGuarantee). The handler thread therefore also watches the installing thread: if
// that ends while the handler is installed, it has crashed, and a dump is written for it with
// the stack-overflow code (without its registers, which are gone), then the process ends.
// Once a crash is being handled, a watchdog thread ends the process after watchdogMs whatever
// happens: a hung or crashed handler must not leave a process without a window behind, which
// the single-instance guard would take for a running Corvin.
// Deleting the object restores the handlers that were installed before. One handler at a time.
class WindowsCrashHandler : public CrashHandler
{
public:
    // `dumpFolder` is used as given; it is not created.
    WindowsCrashHandler(const std::wstring &dumpFolder, MinidumpCallback callback,
                        void *callbackContext);
    ~WindowsCrashHandler() override;

    bool isInstalled() const override { return installed; }

    // The exception codes of the dumps of crashes that are no exceptions.
    static const DWORD abortCode = 0x40000015; // STATUS_FATAL_APP_EXIT, as Windows reports abort
    static const DWORD pureCallCode = 0xC0000420; // STATUS_ASSERTION_FAILURE
    static const DWORD invalidParameterCode = 0xC000000D; // STATUS_INVALID_PARAMETER

    // How long the crashed thread waits for the dump, then for the callback: together no
    // longer than the watchdog.
    static const DWORD dumpWaitMs = 25000;
    static const DWORD callbackWaitMs = 5000;
    static const DWORD watchdogMs = 30000;

private:
    enum Kind { Exception, Abort, PureCall, InvalidParameter };

    static LONG WINAPI onException(EXCEPTION_POINTERS *info);
    static void onAbort(int signalNumber);
    static void onPureCall();
    static void onInvalidParameter(const wchar_t *expression, const wchar_t *function,
                                   const wchar_t *file, unsigned int line, uintptr_t reserved);
    static void crashWithoutException(DWORD code, Kind kind);
    static DWORD WINAPI threadMain(void *self);
    static DWORD WINAPI watchdogMain(void *self);

    // On the crashed thread: the handler thread's answer, true when the crash was handled.
    bool handleCrash(EXCEPTION_POINTERS *info);
    void serve();
    void watch();
    void armWatchdog(DWORD code);
    void stopThreads();
    void dumpVanishedThread();
    bool writeDump();

    std::wstring folder;
    MinidumpCallback callback;
    void *callbackContext;

    HANDLE thread = nullptr;
    HANDLE watchdog = nullptr;
    HANDLE installingThread = nullptr;
    DWORD installingThreadId = 0;
    HANDLE requestEvent = nullptr;
    HANDLE dumpedEvent = nullptr;
    HANDLE answerEvent = nullptr;
    HANDLE crashEvent = nullptr; // arms the watchdog
    HANDLE quitEvent = nullptr;
    std::atomic<bool> quit {false};
    EXCEPTION_POINTERS *crashInfo = nullptr;
    DWORD crashedThreadId = 0;
    DWORD handlerThreadId = 0;
    std::atomic<bool> dumpSucceeded {false};
    std::atomic<bool> handled {false};
    std::atomic<DWORD> crashingThreadId {0};
    std::atomic<DWORD> crashCode {0};
    wchar_t dumpId[40] = {0};

    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
    _purecall_handler previousPureCall = nullptr;
    _invalid_parameter_handler previousInvalidParameter = nullptr;
    _invalid_parameter_handler previousDllInvalidParameter = nullptr;
    void (*previousAbort)(int) = SIG_DFL;
    DWORD previousSymbolOptions = 0;
    bool symbolsInitialized = false;
    bool installed = false;

    static std::atomic<WindowsCrashHandler *> active;
};

#endif // WINDOWSCRASHHANDLER_H
