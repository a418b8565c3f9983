#ifndef CRASHHANDLER_H
#define CRASHHANDLER_H

#include "crash/MiniDumpCallback.h"

#include <QtGlobal>

#include <string>

// Writes a minidump named after a fresh GUID into the dump folder when the process crashes, then
// calls the completion callback, which has google_breakpad::ExceptionHandler's signature and
// meaning: true ends the process, false hands the crash on to the handling installed before.
// One handler per process at a time; deleting it restores what was installed before it.
// Each platform has its own, in a file that CMake chooses: LinuxCrashHandler,
// WindowsCrashHandler, or BreakpadCrashHandler (Windows with CORVIN_WITH_BREAKPAD).
class CrashHandler
{
public:
    typedef bool (*MinidumpCallback)(const wchar_t *dumpPath, const wchar_t *dumpId, void *context,
                                     EXCEPTION_POINTERS *exceptionInfo,
                                     MDRawAssertionInfo *assertionInfo, bool succeeded);

    virtual ~CrashHandler();

    // False when another handler of this process is installed (or installing failed).
    virtual bool isInstalled() const = 0;

    // This platform's handler; null on a platform without one. `dumpFolder` is used as given;
    // it is not created.
    static CrashHandler *create(const std::wstring &dumpFolder, MinidumpCallback callback,
                                void *callbackContext);

    // A handler that stays installed until the process ends; whether it is installed.
    static bool installForProcess(const std::wstring &dumpFolder, MinidumpCallback callback,
                                  void *callbackContext);

protected:
    CrashHandler() = default;

private:
    Q_DISABLE_COPY(CrashHandler)
};

#endif // CRASHHANDLER_H
