#include "BreakpadCrashHandler.h"

#include "client/windows/handler/exception_handler.h"

BreakpadCrashHandler::BreakpadCrashHandler(const std::wstring &dumpFolder,
                                           MinidumpCallback callback, void *callbackContext)
    : handler(new google_breakpad::ExceptionHandler(dumpFolder, nullptr, callback, callbackContext,
                                                    google_breakpad::ExceptionHandler::HANDLER_ALL,
                                                    MiniDumpNormal, nullptr, nullptr))
{ }

BreakpadCrashHandler::~BreakpadCrashHandler()
{
    delete handler;
}

bool BreakpadCrashHandler::isInstalled() const
{
    return true;
}

CrashHandler *CrashHandler::create(const std::wstring &dumpFolder, MinidumpCallback callback,
                                   void *callbackContext)
{
    return new BreakpadCrashHandler(dumpFolder, callback, callbackContext);
}
