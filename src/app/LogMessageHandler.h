#ifndef LOGMESSAGEHANDLER_H
#define LOGMESSAGEHANDLER_H

#include <QMutex>
#include <QString>
#include <QtGlobal>

// Start time of the run, "yyyyMMddHHmmss"; names the run's log file. Both live to the very end
// of the process: messages still come during static destruction, after exit().
extern QString &runTimestamp;
extern QMutex &logMutex;

// Echoes each message to standard output and appends one record to log/log<runTimestamp>.log
// under the working directory.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

#endif // LOGMESSAGEHANDLER_H
