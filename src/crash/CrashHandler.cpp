#include "CrashHandler.h"

CrashHandler::~CrashHandler() = default;

bool CrashHandler::installForProcess(const std::wstring &dumpFolder, MinidumpCallback callback,
                                     void *callbackContext)
{
    // Never deleted: ~QApplication still waits for the work on the global pool that winds down
    // after a quit, and static destruction comes after it; a crash in either must find the
    // handler whole, not half torn down.
    static CrashHandler *const handler = create(dumpFolder, callback, callbackContext);
    return handler && handler->isInstalled();
}
