#include "CopyBench.h"

#include "BenchCommon.h"
#include "config/AppContext.h"
#include "courseware/CoursewareResource.h"
#include "util/FileUtils.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtConcurrent>

namespace Bench {

namespace {

// Number and total size of the files below folder.
QPair<int, qint64> treeSize(const QString &folder)
{
    int count = 0;
    qint64 bytes = 0;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
        bytes += it.fileInfo().size();
    }
    return qMakePair(count, bytes);
}

} // namespace

int runCopy(const QStringList &args)
{
    const qint64 totalMiB = optionMiB(args, QStringLiteral("size"), 1024);
    const qint64 fileMiB = qMax<qint64>(1, optionMiB(args, QStringLiteral("file-size"), 4));
    const int rounds = int(qMax<qint64>(1, optionMiB(args, QStringLiteral("rounds"), 3)));
    const QString base = option(args, QStringLiteral("dir"), QDir::tempPath());
    const int fileCount = int(qMax<qint64>(1, totalMiB / fileMiB));

    QTemporaryDir temp(base + QStringLiteral("/corvin-copy-XXXXXX"));
    temp.setAutoRemove(!flag(args, QStringLiteral("keep")));
    if (!temp.isValid()) {
        print(QStringLiteral("copy: cannot make a folder in %1").arg(base));
        return 1;
    }
    const QString root = temp.path() + QStringLiteral("/download");
    const QString source = root + QStringLiteral("/BC/1");
    print(QStringLiteral("copy: writing %1 files x %2 MiB in %3")
                  .arg(fileCount)
                  .arg(fileMiB)
                  .arg(source));

    // A few flow files and the rest as resources, spread over type folders like a courseware.
    const QString types[]
            = {QStringLiteral("image"), QStringLiteral("audio"), QStringLiteral("video")};
    QStringList files;
    QJsonArray flow;
    QJsonArray elements;
    for (int f = 0; f < fileCount; ++f) {
        const bool isFlow = f < 2;
        const QString type = isFlow ? QStringLiteral("xml") : types[f % 3];
        const QString localPath = QStringLiteral("%1/f%2.bin").arg(type).arg(f);
        const QString path = source + QLatin1Char('/') + localPath;
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!writeFile(path, fileMiB * 1024 * 1024, quint32(f * 7919 + 17))) {
            print(QStringLiteral("copy: cannot write %1").arg(path));
            return 1;
        }
        files << path;
        (isFlow ? flow : elements)
                .append(QJsonObject {{QStringLiteral("localPath"), localPath},
                                     {QStringLiteral("fileType"), type}});
    }

    // Settings and student client of this run only.
    const QString ini = temp.path() + QStringLiteral("/config.ini");
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Server/MD5"), 0);
    }
    const QString appData = temp.path() + QStringLiteral("/appdata");
    {
        QDir().mkpath(appData + QStringLiteral("/heron"));
        QSettings client(appData + QStringLiteral("/heron/config.ini"), QSettings::IniFormat);
        client.setValue(QStringLiteral("Server/version"), QStringLiteral("0.9"));
    }
    const QByteArray previousAppData = qgetenv("APPDATA");
    qputenv("APPDATA", QFile::encodeName(appData));
    AppContext &context = AppContext::instance();
    QSettings *previousSettings = context.settings;
    context.settings = new QSettings(ini, QSettings::IniFormat);
    const int previousChannel = context.channelId;
    context.channelId = 0;

    silenceLog();
    // No service here: the list is handed over as its reply would be.
    CoursewareResource resource(QStringLiteral("Bench_1"), QString(), root, QStringLiteral("BC"),
                                1);
    {
        QEventLoop loop;
        QObject::connect(&resource, &CoursewareResource::CoursewareResourceStatChanged, &loop,
                         &QEventLoop::quit);
        const QJsonObject list {{QStringLiteral("success"), true},
                                {QStringLiteral("flowConfList"), flow},
                                {QStringLiteral("resourceElements"), elements}};
        resource.on_CoursewareResource_2(QString::fromUtf8(
                QJsonDocument(QJsonObject {{QStringLiteral("coursewareResource"), list}})
                        .toJson(QJsonDocument::Compact)));
        loop.exec();
    }
    restoreLog();
    const QString resourceFolder = context.clientResourcePath();
    const QString cpTarget = temp.path() + QStringLiteral("/cp-target");

    warmCache(files);
    warmCache(files);
    qint64 bestOurs = 0;
    qint64 bestTool = 0;
    bool oursOk = true;
    bool toolOk = true;
    const auto expected = treeSize(source);
    BlockMeter meter;
    double blockedMs = 0;
    for (int round = 0; round < rounds && oursOk && toolOk; ++round) {
        // Each side starts from an empty target; only one copy is on disk at a time.
        silenceLog();
        FileUtils::deleteDir(resourceFolder);
        // On the pool, as the preparation window runs it, with the GUI thread's loop running.
        QElapsedTimer timer;
        meter.start();
        timer.start();
        QFutureWatcher<bool> watcher;
        QEventLoop loop;
        QObject::connect(&watcher, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);
        watcher.setFuture(
                QtConcurrent::run(&resource, &CoursewareResource::copyToLocalResourcePath));
        loop.exec();
        const qint64 oursNs = timer.nsecsElapsed();
        blockedMs = qMax(blockedMs, meter.stopMs());
        oursOk = watcher.result();
        restoreLog();
        oursOk = oursOk && treeSize(resourceFolder) == expected;
        silenceLog();
        FileUtils::deleteDir(resourceFolder);
        restoreLog();

        timer.restart();
        const int code
                = QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-r"), source, cpTarget});
        const qint64 toolNs = timer.nsecsElapsed();
        toolOk = code == 0 && treeSize(cpTarget) == expected;
        QDir(cpTarget).removeRecursively();

        bestOurs = bestOurs == 0 ? oursNs : qMin(bestOurs, oursNs);
        bestTool = bestTool == 0 ? toolNs : qMin(bestTool, toolNs);
    }

    delete context.settings;
    context.settings = previousSettings;
    context.channelId = previousChannel;
    if (previousAppData.isNull())
        qunsetenv("APPDATA");
    else
        qputenv("APPDATA", previousAppData);
    if (!oursOk || !toolOk) {
        print(oursOk ? QStringLiteral("copy: cp -r failed")
                     : QStringLiteral(
                             "copy: copyToLocalResourcePath failed or copied a different tree"));
        return 1;
    }

    const qint64 bytes = expected.second;
    const double ratio = bestOurs > 0 ? double(bestTool) / double(bestOurs) : 0.0;
    print(QStringLiteral("copy: %1 MiB in %2 files, warm source, best of %3 rounds")
                  .arg(bytes / (1024 * 1024))
                  .arg(expected.first)
                  .arg(rounds));
    print(QStringLiteral("copy: copyToLocalResourcePath %1 ms (%2 MB/s)")
                  .arg(double(bestOurs) / 1e6, 0, 'f', 1)
                  .arg(mbPerSecond(bytes, bestOurs), 0, 'f', 1));
    print(QStringLiteral("copy: cp -r                   %1 ms (%2 MB/s)")
                  .arg(double(bestTool) / 1e6, 0, 'f', 1)
                  .arg(mbPerSecond(bytes, bestTool), 0, 'f', 1));
    print(QStringLiteral("copy: ratio cp/ours           %1 (target >= 1.5) %2")
                  .arg(ratio, 0, 'f', 3)
                  .arg(verdict(ratio >= 1.5)));
    print(QStringLiteral("copy: GUI thread blocked      %1 ms at most (target <= 16) %2")
                  .arg(blockedMs, 0, 'f', 1)
                  .arg(verdict(blockedMs <= 16, "ABOVE TARGET")));
    return 0;
}

} // namespace Bench
