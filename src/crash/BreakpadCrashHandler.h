#ifndef BREAKPADCRASHHANDLER_H
#define BREAKPADCRASHHANDLER_H

#include "crash/CrashHandler.h"

namespace google_breakpad {
class ExceptionHandler;
}

// The crash handler on Windows when built with CORVIN_WITH_BREAKPAD: Google Breakpad's
// in-process ExceptionHandler for all three kinds of crash (unhandled exceptions, invalid
// parameters, pure virtual calls), writing normal minidumps without a crash server.
class BreakpadCrashHandler : public CrashHandler
{
public:
    // `dumpFolder` is used as given; it is not created.
    BreakpadCrashHandler(const std::wstring &dumpFolder, MinidumpCallback callback,
                         void *callbackContext);
    ~BreakpadCrashHandler() override;

    bool isInstalled() const override;

private:
    google_breakpad::ExceptionHandler *handler;
};

#endif // BREAKPADCRASHHANDLER_H
