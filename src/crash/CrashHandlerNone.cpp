#include "CrashHandler.h"

// The platforms without a crash handler of their own write no dumps.
CrashHandler *CrashHandler::create(const std::wstring &, MinidumpCallback, void *)
{
    return nullptr;
}
