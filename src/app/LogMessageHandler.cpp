#include "LogMessageHandler.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

QString runTimestamp;
QMutex logMutex;

namespace {

void printLine(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The build passes full source paths; the record names the file alone.
QString fileName(const char *path)
{
    const QString full = QString::fromUtf8(path);
    const int slash = qMax(full.lastIndexOf(QLatin1Char('/')), full.lastIndexOf(QLatin1Char('\\')));
    return full.mid(slash + 1);
}

} // namespace

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(type)
    // Nothing below may emit a Qt message: the mutex is not re-entrant.
    QMutexLocker locker(&logMutex);

    printLine(msg);

    const QString text = QStringLiteral("%1 %2  Line:%3  \r\nContent:%4")
                                 .arg(fileName(context.file), QString::fromUtf8(context.function),
                                      QString::number(context.line), msg);

    QFile file(QStringLiteral("log/log%1.log").arg(runTimestamp));
    if (!QFileInfo::exists(QStringLiteral("log")))
        QDir().mkpath(QStringLiteral("log"));

    if (file.open(QIODevice::ReadWrite | QIODevice::Append)) {
        QTextStream stream(&file);
        // UTF-8, not the system's code page: on Windows that would turn Chinese names into "?".
        stream.setCodec("UTF-8");
        stream << "\n\r["
               << QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz"))
               << "]" << text;
        stream.flush();
        file.close();
    } else {
        printLine(file.errorString());
    }
}
