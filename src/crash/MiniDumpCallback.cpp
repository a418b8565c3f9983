#include "MiniDumpCallback.h"

#include "app/LogMessageHandler.h"

#include <QDebug>
#include <QString>

namespace {
// How long the callback waits for the log lock before it gives the line up.
const int logLockWaitMs = 2000;
} // namespace

bool MiniDumpCallback(const wchar_t *dumpPath, const wchar_t *dumpId, void *context,
                      EXCEPTION_POINTERS *exceptionInfo, MDRawAssertionInfo *assertionInfo,
                      bool succeeded)
{
    Q_UNUSED(context)
    Q_UNUSED(exceptionInfo)
    Q_UNUSED(assertionInfo)

    // This runs on the crash handler's thread while the crashed thread is frozen. If that thread
    // died inside the log handler it holds logMutex for good and a blocking qDebug() would hang
    // the crash handling, so the line is dropped when the lock cannot be had. A live thread
    // holding it lets go within milliseconds; whoever takes it between unlock() and qDebug()
    // only delays the line.
    if (!logMutex.tryLock(logLockWaitMs))
        return succeeded;
    logMutex.unlock();

    if (succeeded) {
        qDebug() << "dump guid is " << QString::fromWCharArray(dumpId)
                 << " dump path is : " << QString::fromWCharArray(dumpPath);
    } else {
        qDebug() << "dump failed";
    }
    return succeeded;
}
