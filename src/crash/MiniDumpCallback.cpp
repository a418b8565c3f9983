#include "MiniDumpCallback.h"

#include "crash/CrashLogGate.h"

#include <QDebug>
#include <QString>

#include <atomic>

namespace {
// How long the callback waits for the log lock before it gives the line up.
const int logLockWaitMs = 2000;

std::atomic<CrashLogGate::Check> logCheck {nullptr};
} // namespace

void CrashLogGate::set(Check check)
{
    logCheck = check;
}

bool CrashLogGate::lineCanBeWritten(int waitMs)
{
    const Check check = logCheck;
    return !check || check(waitMs);
}

bool MiniDumpCallback(const wchar_t *dumpPath, const wchar_t *dumpId, void *context,
                      EXCEPTION_POINTERS *exceptionInfo, MDRawAssertionInfo *assertionInfo,
                      bool succeeded)
{
    Q_UNUSED(context)
    Q_UNUSED(exceptionInfo)
    Q_UNUSED(assertionInfo)

    // This runs on the crash handler's thread while the crashed thread is frozen. If that thread
    // died inside the log handler it holds the log's lock for good and a blocking qDebug() would
    // hang the crash handling, so the line is dropped when the lock cannot be had. A live thread
    // holding it lets go within milliseconds; whoever takes it between the check and qDebug()
    // only delays the line.
    if (!CrashLogGate::lineCanBeWritten(logLockWaitMs))
        return succeeded;

    if (succeeded) {
        qDebug() << "dump guid is " << QString::fromWCharArray(dumpId)
                 << " dump path is : " << QString::fromWCharArray(dumpPath);
    } else {
        qDebug() << "dump failed";
    }
    return succeeded;
}
