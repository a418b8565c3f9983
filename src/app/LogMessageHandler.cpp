#include "LogMessageHandler.h"

#include "app/LogBatch.h"
#include "app/LogFile.h"

#include <QDateTime>

#include <cstdio>

// Never destroyed, on purpose: a pool task or a static destructor may log after main has ended.
QString &runTimestamp = *new QString;
QMutex &logMutex = *new QMutex;

namespace {

void printLine(const QByteArray &bytes, bool flush = true)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    if (flush)
        std::fflush(stdout);
}

LogFile &logFile()
{
    static LogFile *const file = new LogFile; // outlives static destruction too
    return *file;
}

// The build passes full source paths; the record names the file alone.
QByteArray fileName(const char *path)
{
    if (!path)
        return QByteArray();
    const char *name = path;
    for (const char *c = path; *c; ++c) {
        if (*c == '/' || *c == '\\')
            name = c + 1;
    }
    return QByteArray(name);
}

// "yyyy-MM-dd hh:mm:ss:zzz" in local time. The date and time of day are formatted once a
// second; called under the log lock only.
void appendTime(QByteArray *record)
{
    static qint64 second = -1;
    static QByteArray *const secondText = new QByteArray; // outlives static destruction too
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != second) {
        second = now / 1000;
        *secondText = QDateTime::fromMSecsSinceEpoch(second * 1000)
                              .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss:"))
                              .toLatin1();
    }
    const int millis = int(now % 1000);
    const char digits[3]
            = {char('0' + millis / 100), char('0' + millis / 10 % 10), char('0' + millis % 10)};
    record->append(*secondText).append(digits, 3);
}

} // namespace

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(type)
    // Nothing below may emit a Qt message: the mutex is not re-entrant.
    QMutexLocker locker(&logMutex);
    const bool defer = LogBatch::isOpen();

    // UTF-8 in the file and on the console, not the system's code page: on Windows that would
    // turn Chinese names into "?".
    const QByteArray text = msg.toUtf8();
    printLine(text, !defer);

    // "\n\r[time]%1 %2  Line:%3  \r\nContent:%4", written in one piece. The buffer keeps its
    // memory from one record to the next.
    static QByteArray *const buffer = [] {
        auto *bytes = new QByteArray;
        bytes->reserve(4096);
        return bytes;
    }();
    QByteArray &record = *buffer;
    record.resize(0);
    record.append("\n\r[");
    appendTime(&record);
    record.append(']')
            .append(fileName(context.file))
            .append(' ')
            .append(context.function)
            .append("  Line:")
            .append(QByteArray::number(context.line))
            .append("  \r\nContent:")
            .append(text);

    QString error;
    if (!logFile().append(QStringLiteral("log/log%1.log").arg(runTimestamp), record, defer, &error))
        printLine(error.toUtf8());
}

void flushLog()
{
    QMutexLocker locker(&logMutex);
    std::fflush(stdout);
    QString error;
    if (!logFile().flush(&error))
        printLine(error.toUtf8());
}
