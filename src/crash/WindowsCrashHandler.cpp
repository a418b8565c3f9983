#include "WindowsCrashHandler.h"

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

bool readAt(HANDLE file, quint64 offset, void *data, DWORD size)
{
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(offset);
    DWORD done = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN)
            && ReadFile(file, data, size, &done, nullptr) && done == size;
}

bool writeAt(HANDLE file, quint64 offset, const void *data, DWORD size)
{
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(offset);
    DWORD done = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN)
            && WriteFile(file, data, size, &done, nullptr) && done == size;
}

// The CodeView record (build id) of a module loaded in this process, from its debug directory.
bool codeViewRecord(quint64 base, const BYTE **record, DWORD *size)
{
    const BYTE *image = reinterpret_cast<const BYTE *>(quintptr(base));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE
        || nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_DEBUG)
        return false;
    const IMAGE_DATA_DIRECTORY &debug
            = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
    const DWORD imageSize = nt->OptionalHeader.SizeOfImage;
    if (!debug.VirtualAddress || debug.VirtualAddress + debug.Size > imageSize)
        return false;
    const auto *entries
            = reinterpret_cast<const IMAGE_DEBUG_DIRECTORY *>(image + debug.VirtualAddress);
    for (DWORD i = 0; i < debug.Size / sizeof(IMAGE_DEBUG_DIRECTORY); ++i) {
        const IMAGE_DEBUG_DIRECTORY &entry = entries[i];
        if (entry.Type == IMAGE_DEBUG_TYPE_CODEVIEW && entry.AddressOfRawData && entry.SizeOfData
            && entry.AddressOfRawData + entry.SizeOfData <= imageSize) {
            *record = image + entry.AddressOfRawData;
            *size = entry.SizeOfData;
            return true;
        }
    }
    return false;
}

// Wine's MiniDumpWriteDump leaves every module's CodeView record out (Windows' own writes it);
// without it nobody can tell which build crashed. Each missing one is read from the loaded
// module and appended to the dump.
void addCodeViewRecords(HANDLE file)
{
    MINIDUMP_HEADER header;
    if (!readAt(file, 0, &header, sizeof header))
        return;
    LARGE_INTEGER end;
    if (!GetFileSizeEx(file, &end))
        return;
    for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
        MINIDUMP_DIRECTORY stream;
        if (!readAt(file, header.StreamDirectoryRva + quint64(i) * sizeof stream, &stream,
                    sizeof stream))
            return;
        if (stream.StreamType != ModuleListStream)
            continue;
        ULONG32 count = 0;
        if (!readAt(file, stream.Location.Rva, &count, sizeof count))
            return;
        for (ULONG32 m = 0; m < count; ++m) {
            const quint64 at
                    = stream.Location.Rva + sizeof count + quint64(m) * sizeof(MINIDUMP_MODULE);
            MINIDUMP_MODULE module;
            const BYTE *record = nullptr;
            DWORD size = 0;
            if (!readAt(file, at, &module, sizeof module) || module.CvRecord.DataSize
                || !codeViewRecord(module.BaseOfImage, &record, &size))
                continue;
            if (!writeAt(file, quint64(end.QuadPart), record, size))
                return;
            module.CvRecord.DataSize = size;
            module.CvRecord.Rva = RVA(end.QuadPart);
            end.QuadPart += size;
            writeAt(file, at, &module, sizeof module);
        }
    }
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
    dumpedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    answerEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    crashEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    quitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    installingThreadId = GetCurrentThreadId();
    installingThread = OpenThread(SYNCHRONIZE, FALSE, installingThreadId);
    // Both started now: a crashed thread, perhaps without stack left, only has to wake them.
    if (requestEvent && dumpedEvent && answerEvent && crashEvent && quitEvent) {
        thread = CreateThread(nullptr, 0, &WindowsCrashHandler::threadMain, this, 0, nullptr);
        watchdog = CreateThread(nullptr, 64 * 1024, &WindowsCrashHandler::watchdogMain, this,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    }
    if (!thread || !watchdog) {
        stopThreads();
        active.store(nullptr);
        return;
    }
    // MiniDumpWriteDump needs no symbols. Unless the process is known to dbghelp already, Wine's
    // would first take in every module and its debug information: 10 to 30 s for this program,
    // as long as the watchdog allows, against under 2 s.
    previousSymbolOptions = SymGetOptions();
    SymSetOptions(previousSymbolOptions | SYMOPT_DEFERRED_LOADS);
    symbolsInitialized = SymInitializeW(GetCurrentProcess(), nullptr, FALSE);
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
        stopThreads();
        if (symbolsInitialized)
            SymCleanup(GetCurrentProcess());
        SymSetOptions(previousSymbolOptions);
        active.store(nullptr);
        installed = false;
    }
    for (HANDLE handle :
         {installingThread, requestEvent, dumpedEvent, answerEvent, crashEvent, quitEvent}) {
        if (handle)
            CloseHandle(handle);
    }
}

void WindowsCrashHandler::stopThreads()
{
    quit.store(true);
    // Also disarms a watchdog that a handled crash had armed.
    if (quitEvent)
        SetEvent(quitEvent);
    if (requestEvent)
        SetEvent(requestEvent);
    for (HANDLE *handle : {&thread, &watchdog}) {
        if (*handle) {
            WaitForSingleObject(*handle, INFINITE);
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
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
        dumpSucceeded.store(succeeded);
        SetEvent(dumpedEvent);
        // The dump is on disk: the crashed thread stops waiting for the callback after
        // callbackWaitMs.
        handled.store(callback ? callback(folder.c_str(), dumpId, callbackContext, crashInfo,
                                          nullptr, succeeded)
                               : succeeded);
        SetEvent(answerEvent);
    }
}

DWORD WINAPI WindowsCrashHandler::watchdogMain(void *self)
{
    static_cast<WindowsCrashHandler *>(self)->watch();
    return 0;
}

void WindowsCrashHandler::watch()
{
    const HANDLE events[2] = {quitEvent, crashEvent};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
        return;
    if (WaitForSingleObject(quitEvent, watchdogMs) == WAIT_TIMEOUT)
        TerminateProcess(GetCurrentProcess(), crashCode.load());
}

void WindowsCrashHandler::armWatchdog(DWORD code)
{
    crashCode.store(code);
    SetEvent(crashEvent);
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

    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    MINIDUMP_EXCEPTION_INFORMATION exception;
    exception.ThreadId = crashedThreadId;
    exception.ExceptionPointers = crashInfo;
    exception.ClientPointers = FALSE;
    bool ok = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                &exception, nullptr, nullptr);
    if (ok)
        addCodeViewRecords(file);
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
    armWatchdog(record.ExceptionCode);
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
        // thread that crashes meanwhile waits for the first crash, or its watchdog, to end it.
        if (none == self)
            TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
        Sleep(INFINITE);
    }
    armWatchdog(info->ExceptionRecord->ExceptionCode);
    if (self == handlerThreadId)
        return false;
    crashInfo = info;
    crashedThreadId = self;
    SetEvent(requestEvent);
    if (WaitForSingleObject(dumpedEvent, dumpWaitMs) != WAIT_OBJECT_0)
        return false;
    // Should the callback hang (on a lock the crashed thread holds), its answer would have been
    // the dump's outcome; a dump that was written is not thrown away.
    if (WaitForSingleObject(answerEvent, callbackWaitMs) != WAIT_OBJECT_0)
        return dumpSucceeded.load();
    return handled.load();
}

LONG WINAPI WindowsCrashHandler::onException(EXCEPTION_POINTERS *info)
{
    WindowsCrashHandler *self = active.load();
    if (!self)
        return EXCEPTION_CONTINUE_SEARCH;
    if (self->handleCrash(info))
        return EXCEPTION_EXECUTE_HANDLER;
    // Not handled: the filter installed before decides. Where it declines, or there is none, the
    // process ends all the same. A MinGW program always has one, the C runtime's, and it
    // declines every fault that no signal() handler takes.
    const LONG answer
            = self->previousFilter ? self->previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
    return answer == EXCEPTION_CONTINUE_SEARCH ? LONG(EXCEPTION_EXECUTE_HANDLER) : answer;
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

CrashHandler *CrashHandler::create(const std::wstring &dumpFolder, MinidumpCallback callback,
                                   void *callbackContext)
{
    return new WindowsCrashHandler(dumpFolder, callback, callbackContext);
}
