#include "CopyBench.h"

#include "BenchCommon.h"
#include "courseware/ResourceCopy.h"
#include "util/FileUtils.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QProcess>
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
    const QString source = temp.path() + QStringLiteral("/download/BC/1");
    print(QStringLiteral("copy: writing %1 files x %2 MiB in %3")
                  .arg(fileCount)
                  .arg(fileMiB)
                  .arg(source));
    Tree tree;
    if (!writeTree(source, fileCount, fileMiB * 1024 * 1024, 3, 17, &tree)) {
        print(QStringLiteral("copy: cannot write %1").arg(source));
        return 1;
    }
    // An old-layout client: a folder per type, as the spread of types asks for most folders.
    const QString resourceFolder = temp.path() + QStringLiteral("/appdata/heron/resource/");
    const QString cpTarget = temp.path() + QStringLiteral("/cp-target");
    warmCache(tree.files);
    warmCache(tree.files);

    qint64 bestOurs = 0;
    qint64 bestTool = 0;
    bool oursOk = true;
    bool toolOk = true;
    const auto expected = treeSize(tree.folder);
    BlockMeter meter;
    double blockedMs = 0;
    for (int round = 0; round < rounds && oursOk && toolOk; ++round) {
        // Each side starts from an emptied target; only one copy is on disk at a time.
        removeCopy(resourceFolder);
        // On the pool, as the preparation window runs it, with the GUI thread's loop running.
        ResourceCopy copy(tree.folder, resourceFolder, false, tree.flow, tree.resources);
        QElapsedTimer timer;
        meter.start();
        profileTimed(true);
        timer.start();
        QFutureWatcher<bool> watcher;
        QEventLoop loop;
        QObject::connect(&watcher, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);
        watcher.setFuture(QtConcurrent::run([&copy] { return copy.run(); }));
        loop.exec();
        const qint64 oursNs = timer.nsecsElapsed();
        profileTimed(false);
        blockedMs = qMax(blockedMs, meter.stopMs());
        oursOk = watcher.result() && treeSize(resourceFolder) == expected;
        removeCopy(resourceFolder);

        timer.restart();
        const int code = QProcess::execute(QStringLiteral("cp"),
                                           {QStringLiteral("-r"), tree.folder, cpTarget});
        const qint64 toolNs = timer.nsecsElapsed();
        toolOk = code == 0 && treeSize(cpTarget) == expected;
        QDir(cpTarget).removeRecursively();

        bestOurs = bestOurs == 0 ? oursNs : qMin(bestOurs, oursNs);
        bestTool = bestTool == 0 ? toolNs : qMin(bestTool, toolNs);
    }
    if (!oursOk || !toolOk) {
        print(oursOk ? QStringLiteral("copy: cp -r failed")
                     : QStringLiteral("copy: the copy failed or copied a different tree"));
        return 1;
    }

    const qint64 bytes = expected.second;
    const double ratio = bestOurs > 0 ? double(bestTool) / double(bestOurs) : 0.0;
    print(QStringLiteral("copy: %1 MiB in %2 files, warm source, best of %3 rounds")
                  .arg(bytes / (1024 * 1024))
                  .arg(expected.first)
                  .arg(rounds));
    print(QStringLiteral("copy: ResourceCopy %1 ms (%2 MB/s)")
                  .arg(double(bestOurs) / 1e6, 0, 'f', 1)
                  .arg(mbPerSecond(bytes, bestOurs), 0, 'f', 1));
    print(QStringLiteral("copy: cp -r         %1 ms (%2 MB/s)")
                  .arg(double(bestTool) / 1e6, 0, 'f', 1)
                  .arg(mbPerSecond(bytes, bestTool), 0, 'f', 1));
    print(QStringLiteral("copy: ratio cp/ours %1 (target >= 1.5) %2")
                  .arg(ratio, 0, 'f', 3)
                  .arg(verdict(ratio >= 1.5)));
    print(QStringLiteral("copy: GUI thread blocked %1 ms at most (target <= 16) %2")
                  .arg(blockedMs, 0, 'f', 1)
                  .arg(verdict(blockedMs <= 16, "ABOVE TARGET")));
    return 0;
}

} // namespace Bench
