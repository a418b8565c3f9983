#include "WindowsCrashHandler.h"

#ifdef Q_OS_WIN

#include <dbghelp.h>
#include <objbase.h>

#include <cwchar>

std::atomic<WindowsCrashHandler *> WindowsCrashHandler::active {nullptr};

namespace {

// MinGW's own _set_invalid_parameter_handler only reaches its own checks; where the system's
// msvcrt.dll has one too, the DLL's checks are reported there. (MSVC's runtime has one only.)
_invalid_parameter_handler setDllInvalidParameterHandler(_invalid_parameter_handler handler)
{
#ifdef __MINGW32__
    using Set = _invalid_parameter_handler(__cdecl *)(_invalid_parameter_handler);
    // Through a plain function type: FARPROC's own would warn about the cast.
    const auto set = reinterpret_cast<Set>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "_set_invalid_parameter_handler")));
    return set ? set(handler) : nullptr;
#else
    Q_UNUSED(handler)
    return nullptr;
#endif
}

} // namespace

WindowsCrashHandler::WindowsCrashHandler(const std::wstring &dumpFolder, MinidumpCallback callback,
                                         void *callbackContext)
    : folder(dumpFolder), callback(callback), callbackContext(callbackContext)
{
    WindowsCrashHandler *none = nullptr;
    if (!active.compare_exchange_strong(none, this))
        return;
    requestEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    answerEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    installingThreadId = GetCurrentThreadId();
    installingThread = OpenThread(SYNCHRONIZE, FALSE, installingThreadId);
    // Started now: a crashed thread, perhaps without stack left, only has to wake it.
    if (requestEvent && answerEvent)
        thread = CreateThread(nullptr, 0, &WindowsCrashHandler::threadMain, this, 0, nullptr);
    if (!thread) {
        active.store(nullptr);
        return;
    }
    // Room on the installing thread's stack for the filter after a stack overflow.
    ULONG guarantee = 64 * 1024;
    SetThreadStackGuarantee(&guarantee);

    previousFilter = SetUnhandledExceptionFilter(&WindowsCrashHandler::onException);
    previousPureCall = _set_purecall_handler(&WindowsCrashHandler::onPureCall);
    previousInvalidParameter
            = _set_invalid_parameter_handler(&WindowsCrashHandler::onInvalidParameter);
    previousDllInvalidParameter
            = setDllInvalidParameterHandler(&WindowsCrashHandler::onInvalidParameter);
    previousAbort = std::signal(SIGABRT, &WindowsCrashHandler::onAbort);
    installed = true;
}

WindowsCrashHandler::~WindowsCrashHandler()
{
    if (installed) {
        SetUnhandledExceptionFilter(previousFilter);
        _set_purecall_handler(previousPureCall);
        _set_invalid_parameter_handler(previousInvalidParameter);
        setDllInvalidParameterHandler(previousDllInvalidParameter);
        std::signal(SIGABRT, previousAbort == SIG_ERR ? SIG_DFL : previousAbort);
        installed = false;
    }
    if (thread) {
        quit.store(true);
        SetEvent(requestEvent);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        active.store(nullptr);
    }
    if (installingThread)
        CloseHandle(installingThread);
    if (requestEvent)
        CloseHandle(requestEvent);
    if (answerEvent)
        CloseHandle(answerEvent);
}

DWORD WINAPI WindowsCrashHandler::threadMain(void *self)
{
    static_cast<WindowsCrashHandler *>(self)->serve();
    return 0;
}

void WindowsCrashHandler::serve()
{
    handlerThreadId = GetCurrentThreadId();
    const HANDLE events[2] = {requestEvent, installingThread};
    for (;;) {
        const DWORD woken
                = WaitForMultipleObjects(installingThread ? 2 : 1, events, FALSE, INFINITE);
        if (quit.load())
            return;
        if (woken == WAIT_OBJECT_0 + 1) {
            dumpVanishedThread();
            return;
        }
        const bool succeeded = writeDump();
        handled = callback
                ? callback(folder.c_str(), dumpId, callbackContext, crashInfo, nullptr, succeeded)
                : succeeded;
        SetEvent(answerEvent);
    }
}

bool WindowsCrashHandler::writeDump()
{
    GUID guid;
    if (FAILED(CoCreateGuid(&guid)))
        return false;
    std::swprintf(dumpId, sizeof dumpId / sizeof dumpId[0],
                  L"%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'/' && path.back() != L'\\')
        path += L'\\';
    path += dumpId;
    path += L".dmp";

    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    MINIDUMP_EXCEPTION_INFORMATION exception;
    exception.ThreadId = crashedThreadId;
    exception.ExceptionPointers = crashInfo;
    exception.ClientPointers = FALSE;
    bool ok = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                &exception, nullptr, nullptr);
    if (!CloseHandle(file))
        ok = false;
    // A cut-off dump is no dump: the callback hears of a failure and finds no file.
    if (!ok)
        DeleteFileW(path.c_str());
    return ok;
}

void WindowsCrashHandler::dumpVanishedThread()
{
    DWORD none = 0;
    if (!crashingThreadId.compare_exchange_strong(none, installingThreadId))
        return;
    EXCEPTION_RECORD record;
    ZeroMemory(&record, sizeof record);
    record.ExceptionCode = EXCEPTION_STACK_OVERFLOW;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    CONTEXT context;
    ZeroMemory(&context, sizeof context);
    EXCEPTION_POINTERS pointers = {&record, &context};
    crashInfo = &pointers;
    crashedThreadId = installingThreadId;
    const bool succeeded = writeDump();
    if (callback)
        callback(folder.c_str(), dumpId, callbackContext, crashInfo, nullptr, succeeded);
    TerminateProcess(GetCurrentProcess(), EXCEPTION_STACK_OVERFLOW);
}

bool WindowsCrashHandler::handleCrash(EXCEPTION_POINTERS *info)
{
    const DWORD self = GetCurrentThreadId();
    DWORD none = 0;
    if (!crashingThreadId.compare_exchange_strong(none, self)) {
        // A fault while this thread's own crash is handled ends the process at once; another
        // thread that crashes meanwhile waits for the first crash to end it.
        if (none == self)
            TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
        Sleep(INFINITE);
    }
    if (self == handlerThreadId)
        return false;
    crashInfo = info;
    crashedThreadId = self;
    SetEvent(requestEvent);
    if (WaitForSingleObject(answerEvent, dumpWaitMs) != WAIT_OBJECT_0)
        return false;
    return handled;
}

LONG WINAPI WindowsCrashHandler::onException(EXCEPTION_POINTERS *info)
{
    WindowsCrashHandler *self = active.load();
    if (!self)
        return EXCEPTION_CONTINUE_SEARCH;
    if (self->handleCrash(info) || !self->previousFilter)
        return EXCEPTION_EXECUTE_HANDLER;
    return self->previousFilter(info);
}

// The crashes that raise no exception get one made up from the current context, so that their
// dumps show the thread where they happened.
void WindowsCrashHandler::crashWithoutException(DWORD code, Kind kind)
{
    WindowsCrashHandler *self = active.load();
    CONTEXT context;
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record;
    ZeroMemory(&record, sizeof record);
    record.ExceptionCode = code;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
#if defined(_M_X64) || defined(__x86_64__)
    record.ExceptionAddress = reinterpret_cast<void *>(context.Rip);
#endif
    EXCEPTION_POINTERS pointers = {&record, &context};
    if (self && !self->handleCrash(&pointers)) {
        // Not handled: the handling installed before, where there was one.
        if (kind == Abort && self->previousAbort != SIG_DFL && self->previousAbort != SIG_IGN
            && self->previousAbort != SIG_ERR)
            self->previousAbort(SIGABRT);
        else if (kind == PureCall && self->previousPureCall)
            self->previousPureCall();
        else if (kind == InvalidParameter && self->previousInvalidParameter)
            self->previousInvalidParameter(nullptr, nullptr, nullptr, 0, 0);
    }
    TerminateProcess(GetCurrentProcess(), code);
}

void WindowsCrashHandler::onAbort(int)
{
    crashWithoutException(abortCode, Abort);
}

void WindowsCrashHandler::onPureCall()
{
    crashWithoutException(pureCallCode, PureCall);
}

void WindowsCrashHandler::onInvalidParameter(const wchar_t *, const wchar_t *, const wchar_t *,
                                             unsigned int, uintptr_t)
{
    crashWithoutException(invalidParameterCode, InvalidParameter);
}

#endif // Q_OS_WIN
