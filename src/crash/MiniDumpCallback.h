#ifndef MINIDUMPCALLBACK_H
#define MINIDUMPCALLBACK_H

#include <QtGlobal>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX // keeps windows.h's min/max macros away from Qt's headers
#endif
#include <windows.h>
#endif

#if defined(Q_OS_WIN) && defined(CORVIN_WITH_BREAKPAD)
#include "google_breakpad/common/minidump_format.h"
#else
// Only passed through; opaque where Breakpad's headers are not used, so the callback keeps
// Breakpad's signature everywhere.
struct MDRawAssertionInfo;
#endif

#ifndef Q_OS_WIN
struct EXCEPTION_POINTERS;
#endif

// Completion callback of the crash handler: logs where the dump went, or that it failed.
// Returns `succeeded`: true ends the process, false hands the crash on to the handling that was
// installed before.
bool MiniDumpCallback(const wchar_t *dumpPath, const wchar_t *dumpId, void *context,
                      EXCEPTION_POINTERS *exceptionInfo, MDRawAssertionInfo *assertionInfo,
                      bool succeeded);

#endif // MINIDUMPCALLBACK_H
