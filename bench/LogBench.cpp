#include "LogBench.h"

#include "BenchCommon.h"
#include "app/DebugLine.h"
#include "app/LogBatch.h"
#include "app/LogMessageHandler.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

namespace Bench {

namespace {

// The two lines the verification logs for one file.
void logFile(int i)
{
    const QString path = QStringLiteral("C:/Users/t/Downloads/courseware/C1/3/image%1/f%2.bin")
                                 .arg(i % 40)
                                 .arg(i);
    const QString digest = QStringLiteral("0123456789abcdef0123456789abcdef");
    corvinDebugLine() << path << digest;
    corvinDebugLine() << path << " 本地计算md5 :" << digest << "服务端md5: " << digest;
}

} // namespace

int runLog(const QStringList &args)
{
    const int files = int(optionMiB(args, QStringLiteral("files"), 20000));
    const QString base = option(args, QStringLiteral("dir"), QDir::tempPath());
    QTemporaryDir temp(base + QStringLiteral("/corvin-log-XXXXXX"));
    if (!temp.isValid()) {
        print(QStringLiteral("log: cannot make a folder in %1").arg(base));
        return 1;
    }
    const QString previousDir = QDir::currentPath();
    const QString previousTimestamp = runTimestamp;
    QDir::setCurrent(temp.path());
    runTimestamp = QStringLiteral("20261208000000");
    qint64 single = 0;
    qint64 batched = 0;
    {
        const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
        QuietConsole quiet;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < files; ++i)
            logFile(i);
        single = timer.nsecsElapsed();
        timer.restart();
        for (int i = 0; i < files; i += 64) {
            const LogBatch batch;
            for (int j = i; j < qMin(files, i + 64); ++j)
                logFile(j);
        }
        batched = timer.nsecsElapsed();
        qInstallMessageHandler(previous);
    }
    QDir::setCurrent(previousDir);
    runTimestamp = previousTimestamp;
    const int records = 2 * files;
    print(QStringLiteral("log: %1 records, each written at once: %2 us a record")
                  .arg(records)
                  .arg(double(single) / 1e3 / records, 0, 'f', 2));
    print(QStringLiteral("log: %1 records in batches of 128: %2 us a record")
                  .arg(records)
                  .arg(double(batched) / 1e3 / records, 0, 'f', 2));
    return 0;
}

} // namespace Bench
