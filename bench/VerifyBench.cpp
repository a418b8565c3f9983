#include "VerifyBench.h"

#include "BenchCommon.h"
#include "config/AppContext.h"
#include "courseware/CoursewareResource.h"

#include "StandInServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <memory>

namespace Bench {

namespace {

QString fileDigest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

// Longest time between two ticks of a 10 ms timer on this thread, less the 10 ms.
class BlockMeter
{
public:
    BlockMeter()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.nsecsElapsed();
            maxGapNs = qMax(maxGapNs, now - lastNs);
            lastNs = now;
        });
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(10);
    }
    void start()
    {
        maxGapNs = 0;
        clock.start();
        lastNs = 0;
        timer.start();
    }
    double stopMs()
    {
        timer.stop();
        maxGapNs = qMax(maxGapNs, clock.nsecsElapsed() - lastNs);
        return qMax(0.0, double(maxGapNs) / 1e6 - 10.0);
    }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 lastNs = 0;
    qint64 maxGapNs = 0;
};

// One verification of every courseware, as the selection window starts it; wall time in ns.
qint64 verifyAll(int coursewareCount, const QString &root, int *passed)
{
    QEventLoop loop;
    int reported = 0;
    *passed = 0;
    std::vector<std::unique_ptr<CoursewareResource>> resources;
    QElapsedTimer timer;
    timer.start();
    for (int c = 0; c < coursewareCount; ++c) {
        resources.emplace_back(new CoursewareResource(QStringLiteral("Bench%1_1").arg(c), QString(),
                                                      root, QStringLiteral("B%1").arg(c), 1));
        QObject::connect(resources.back().get(), &CoursewareResource::CoursewareResourceStatChanged,
                         &loop, [&](bool ok) {
                             *passed += ok ? 1 : 0;
                             if (++reported == coursewareCount)
                                 loop.quit();
                         });
    }
    loop.exec();
    return timer.nsecsElapsed();
}

// md5sum over the files in two processes at once (as xargs -P2 would); wall time in ns.
qint64 md5sumTwoWays(const QStringList &files, bool *ok)
{
    const int half = files.size() / 2;
    QProcess first;
    QProcess second;
    QElapsedTimer timer;
    timer.start();
    first.start(QStringLiteral("md5sum"), files.mid(0, half));
    second.start(QStringLiteral("md5sum"), files.mid(half));
    *ok = first.waitForFinished(-1) && second.waitForFinished(-1) && first.exitCode() == 0
            && second.exitCode() == 0 && first.exitStatus() == QProcess::NormalExit
            && second.exitStatus() == QProcess::NormalExit;
    return timer.nsecsElapsed();
}

} // namespace

int runVerify(const QStringList &args)
{
    const int coursewareCount = int(optionMiB(args, QStringLiteral("courseware"), 8));
    const int fileCount = int(optionMiB(args, QStringLiteral("files"), 64));
    const qint64 fileMiB = optionMiB(args, QStringLiteral("file-size"), 2);
    const int rounds = int(optionMiB(args, QStringLiteral("rounds"), 3));
    const QString base = option(args, QStringLiteral("dir"), QDir::tempPath());

    QTemporaryDir temp(base + QStringLiteral("/corvin-verify-XXXXXX"));
    temp.setAutoRemove(!flag(args, QStringLiteral("keep")));
    if (!temp.isValid()) {
        print(QStringLiteral("verify: cannot make a folder in %1").arg(base));
        return 1;
    }
    const QString root = temp.path() + QStringLiteral("/download");
    print(QStringLiteral("verify: writing %1 courseware x %2 files x %3 MiB in %4")
                  .arg(coursewareCount)
                  .arg(fileCount)
                  .arg(fileMiB)
                  .arg(root));

    QStringList files;
    QJsonObject resources;
    for (int c = 0; c < coursewareCount; ++c) {
        const QString folder = QStringLiteral("%1/B%2/1/").arg(root).arg(c);
        QJsonArray flow;
        QJsonArray elements;
        for (int f = 0; f < fileCount; ++f) {
            const QString localPath
                    = QStringLiteral("%1/f%2.bin")
                              .arg(f < 4 ? QStringLiteral("xml") : QStringLiteral("image"))
                              .arg(f);
            const QString path = folder + localPath;
            QDir().mkpath(QFileInfo(path).absolutePath());
            if (!writeFile(path, fileMiB * 1024 * 1024, quint32(c * 10007 + f))) {
                print(QStringLiteral("verify: cannot write %1").arg(path));
                return 1;
            }
            files << path;
            const QJsonObject element {{QStringLiteral("localPath"), localPath},
                                       {QStringLiteral("fileMd5"), fileDigest(path)},
                                       {QStringLiteral("fileType"), QStringLiteral("image")}};
            (f < 4 ? flow : elements).append(element);
        }
        resources.insert(QStringLiteral("B%1/1").arg(c),
                         QJsonObject {{QStringLiteral("flowConfList"), flow},
                                      {QStringLiteral("resourceElements"), elements}});
    }

    StandInServer server(QJsonObject {{QStringLiteral("resources"), resources}});
    if (!server.start()) {
        print(QStringLiteral("verify: the stand-in service does not start"));
        return 1;
    }
    // Settings of this run only: config.ini beside the program stays untouched.
    const QString ini = temp.path() + QStringLiteral("/config.ini");
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Server/CorvinHost"), server.baseUrl());
        settings.setValue(QStringLiteral("Server/MD5"), 1);
    }
    AppContext &context = AppContext::instance();
    QSettings *previous = context.settings;
    context.settings = new QSettings(ini, QSettings::IniFormat);

    warmCache(files);
    warmCache(files);
    BlockMeter meter;
    qint64 bestOurs = 0;
    qint64 bestTool = 0;
    double worstBlockMs = 0;
    int passed = 0;
    bool toolOk = true;
    for (int round = 0; round < rounds; ++round) {
        silenceLog();
        meter.start();
        const qint64 oursNs = verifyAll(coursewareCount, root, &passed);
        worstBlockMs = qMax(worstBlockMs, meter.stopMs());
        restoreLog();
        const qint64 toolNs = md5sumTwoWays(files, &toolOk);
        if (!toolOk)
            break;
        bestOurs = bestOurs == 0 ? oursNs : qMin(bestOurs, oursNs);
        bestTool = bestTool == 0 ? toolNs : qMin(bestTool, toolNs);
    }
    delete context.settings;
    context.settings = previous;
    if (!toolOk) {
        print(QStringLiteral("verify: md5sum failed"));
        return 1;
    }

    const qint64 bytes = qint64(files.size()) * fileMiB * 1024 * 1024;
    const double ratio = bestOurs > 0 ? double(bestTool) / double(bestOurs) : 0.0;
    print(QStringLiteral("verify: %1 MiB warm, best of %2 rounds, pool of %3 threads")
                  .arg(bytes / (1024 * 1024))
                  .arg(rounds)
                  .arg(QThreadPool::globalInstance()->maxThreadCount()));
    print(QStringLiteral("verify: CoursewareResource  %1 ms (%2 MB/s), %3 of %4 passed")
                  .arg(double(bestOurs) / 1e6, 0, 'f', 1)
                  .arg(mbPerSecond(bytes, bestOurs), 0, 'f', 1)
                  .arg(passed)
                  .arg(coursewareCount));
    print(QStringLiteral("verify: md5sum -P2          %1 ms (%2 MB/s)")
                  .arg(double(bestTool) / 1e6, 0, 'f', 1)
                  .arg(mbPerSecond(bytes, bestTool), 0, 'f', 1));
    print(QStringLiteral("verify: ratio md5sum/ours   %1 (target >= 0.90) %2")
                  .arg(ratio, 0, 'f', 3)
                  .arg(ratio >= 0.9 ? QStringLiteral("ok") : QStringLiteral("BELOW TARGET")));
    print(QStringLiteral("verify: GUI thread blocked  %1 ms at most (target <= 50) %2")
                  .arg(worstBlockMs, 0, 'f', 1)
                  .arg(worstBlockMs <= 50 ? QStringLiteral("ok") : QStringLiteral("ABOVE TARGET")));
    return passed == coursewareCount ? 0 : 1;
}

} // namespace Bench
