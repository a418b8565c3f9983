#include "LogMessageHandler.h"

#include "app/LogBatch.h"
#include "app/LogFile.h"
#include "crash/CrashLogGate.h"

#include <QDateTime>

#include <cstdio>

// Never destroyed, on purpose: a pool task or a static destructor may log after main has ended.
QString &runTimestamp = *new QString;
QMutex &logMutex = *new QMutex;

namespace {

// The crash callback's question, answered without keeping the lock: a thread that crashed
// inside the log handler holds it for good.
bool logLockFreeWithin(int waitMs)
{
    if (!logMutex.tryLock(waitMs))
        return false;
    logMutex.unlock();
    return true;
}

// Set wherever the log is linked in, so that every program with the handler has the check.
const bool crashLogGateSet = (CrashLogGate::set(logLockFreeWithin), true);

} // namespace

namespace {

void printLine(const char *text, int size, bool flush = true)
{
    std::fwrite(text, 1, size_t(size), stdout);
    std::fputc('\n', stdout);
    if (flush)
        std::fflush(stdout);
}

void printLine(const QByteArray &bytes)
{
    printLine(bytes.constData(), bytes.size());
}

LogFile &logFile()
{
    static LogFile *const file = new LogFile; // outlives static destruction too
    return *file;
}

// The build passes full source paths; the record names the file alone.
void appendFileName(QByteArray *record, const char *path)
{
    if (!path)
        return;
    const char *name = path;
    const char *c = path;
    for (; *c; ++c) {
        if (*c == '/' || *c == '\\')
            name = c + 1;
    }
    record->append(name, int(c - name));
}

void appendNumber(QByteArray *record, int number)
{
    char digits[12];
    const int length = std::snprintf(digits, sizeof digits, "%d", number);
    record->append(digits, length);
}

// What toUtf8() gives, written straight into the record: a per-file line is mostly paths, and a
// new array for each would cost as much as the rest of the record.
void appendUtf8(QByteArray *record, const QString &text)
{
    const int start = record->size();
    record->resize(start + 3 * text.size());
    char *out = record->data() + start;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x80) {
            *out++ = char(u);
        } else if (u < 0x800) {
            *out++ = char(0xc0 | (u >> 6));
            *out++ = char(0x80 | (u & 0x3f));
        } else if (!c.isSurrogate()) {
            *out++ = char(0xe0 | (u >> 12));
            *out++ = char(0x80 | ((u >> 6) & 0x3f));
            *out++ = char(0x80 | (u & 0x3f));
        } else {
            // Pairs and strays are rare: Qt's own conversion, with its replacements.
            record->resize(start);
            record->append(text.toUtf8());
            return;
        }
    }
    record->resize(int(out - record->constData()));
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
    record.append(']');
    appendFileName(&record, context.file);
    record.append(' ').append(context.function).append("  Line:");
    appendNumber(&record, context.line);
    record.append("  \r\nContent:");
    // UTF-8 in the file and on the console, not the system's code page: on Windows that would
    // turn Chinese names into "?".
    const int textStart = record.size();
    appendUtf8(&record, msg);
    printLine(record.constData() + textStart, record.size() - textStart, !defer);

    // The path changes only with the run's timestamp.
    static QString *const pathStamp = new QString;
    static QString *const path = new QString;
    if (path->isEmpty() || *pathStamp != runTimestamp) {
        *pathStamp = runTimestamp;
        *path = QStringLiteral("log/log%1.log").arg(runTimestamp);
    }
    QString error;
    if (!logFile().append(*path, record, defer, &error))
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
