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
// under the working directory. Within a LogBatch the records of its thread may wait in memory
// until the batch ends.
void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
// Writes the records that wait; the file's error text on the console when they cannot be.
void flushLog();

#endif // LOGMESSAGEHANDLER_H
