#include "HashBench.h"

#include "BenchCommon.h"
#include "util/FileUtils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

namespace Bench {

namespace {

qint64 totalSize(const QStringList &files)
{
    qint64 bytes = 0;
    for (const QString &file : files)
        bytes += QFileInfo(file).size();
    return bytes;
}

bool md5sumDigests(const QStringList &files, QHash<QString, QString> *digests)
{
    QProcess md5sum;
    md5sum.start(QStringLiteral("md5sum"), files);
    if (!md5sum.waitForFinished(-1) || md5sum.exitStatus() != QProcess::NormalExit
        || md5sum.exitCode() != 0)
        return false;
    const QList<QByteArray> lines = md5sum.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        if (line.size() > 34)
            digests->insert(QFile::decodeName(line.mid(34)), QString::fromLatin1(line.left(32)));
    }
    return digests->size() == files.size();
}

int hashTree(const QStringList &args, const QString &root)
{
    const qint64 treeMiB = optionMiB(args, QStringLiteral("size"), 1024);
    const qint64 fileMiB = optionMiB(args, QStringLiteral("file-size"), 4);
    const QString treeDir = root + QStringLiteral("/hash-tree");
    QDir().mkpath(treeDir);

    QStringList files;
    const qint64 count = qMax<qint64>(1, treeMiB / fileMiB);
    print(QStringLiteral("hash: writing %1 files of %2 MiB in %3")
                  .arg(count)
                  .arg(fileMiB)
                  .arg(treeDir));
    for (qint64 i = 0; i < count; ++i) {
        // Some depth, as in a courseware tree.
        const QString sub = treeDir + QStringLiteral("/d%1").arg(i % 8);
        QDir().mkpath(sub);
        const QString file = sub + QStringLiteral("/f%1.bin").arg(i);
        if (QFileInfo(file).size() != fileMiB * 1024 * 1024
            && !writeFile(file, fileMiB * 1024 * 1024, quint32(i))) {
            print(QStringLiteral("hash: cannot write %1").arg(file));
            return 1;
        }
        files << file;
    }
    const qint64 bytes = totalSize(files);
    warmCache(files);
    warmCache(files);

    const int rounds = int(optionMiB(args, QStringLiteral("rounds"), 3));
    qint64 bestOurs = 0;
    qint64 bestTool = 0;
    QHash<QString, QString> ours;
    QHash<QString, QString> tool;
    QElapsedTimer timer;
    for (int round = 0; round < rounds; ++round) {
        silenceLog();
        timer.start();
        for (const QString &file : files)
            ours.insert(file, FileUtils::getFileMd5(file));
        const qint64 oursNs = timer.nsecsElapsed();
        restoreLog();

        timer.start();
        if (!md5sumDigests(files, &tool)) {
            print(QStringLiteral("hash: md5sum failed"));
            return 1;
        }
        const qint64 toolNs = timer.nsecsElapsed();
        if (bestOurs == 0 || oursNs < bestOurs)
            bestOurs = oursNs;
        if (bestTool == 0 || toolNs < bestTool)
            bestTool = toolNs;
    }

    int mismatches = 0;
    for (const QString &file : files)
        mismatches += ours.value(file) != tool.value(file) ? 1 : 0;

    const double oursRate = mbPerSecond(bytes, bestOurs);
    const double toolRate = mbPerSecond(bytes, bestTool);
    const double ratio = toolRate > 0 ? oursRate / toolRate : 0.0;
    print(QStringLiteral("hash: %1 MiB warm, best of %2 rounds")
                  .arg(bytes / (1024 * 1024))
                  .arg(rounds));
    print(QStringLiteral("hash: getFileMd5  %1 MB/s").arg(oursRate, 0, 'f', 1));
    print(QStringLiteral("hash: md5sum      %1 MB/s").arg(toolRate, 0, 'f', 1));
    print(QStringLiteral("hash: ratio       %1 (target >= 0.90) %2")
                  .arg(ratio, 0, 'f', 3)
                  .arg(ratio >= 0.9 ? QStringLiteral("ok") : QStringLiteral("BELOW TARGET")));
    print(QStringLiteral("hash: digests differing from md5sum: %1").arg(mismatches));

    if (!flag(args, QStringLiteral("keep")))
        QDir(treeDir).removeRecursively();
    return mismatches == 0 ? 0 : 1;
}

int hashSparse(const QStringList &args, const QString &root)
{
    const qint64 sparseMiB = optionMiB(args, QStringLiteral("sparse-size"), 3072);
    const QString path = root + QStringLiteral("/sparse.bin");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || !file.resize(sparseMiB * 1024 * 1024)) {
            print(QStringLiteral("hash: cannot make %1").arg(path));
            return 1;
        }
    }

    silenceLog();
    const qint64 idle = statusKiB("VmRSS");
    const bool reset = resetPeakResident();
    QElapsedTimer timer;
    timer.start();
    const QString digest = FileUtils::getFileMd5(path);
    const qint64 ns = timer.nsecsElapsed();
    const qint64 peak = statusKiB("VmHWM");
    restoreLog();

    if (!reset || idle < 0 || peak < 0) {
        print(QStringLiteral("hash: /proc/self/clear_refs or status not available"));
        QFile::remove(path);
        return 1;
    }
    const double aboveMiB = double(peak - idle) / 1024.0;
    print(QStringLiteral("hash: sparse %1 MiB, digest %2, %3 MB/s")
                  .arg(sparseMiB)
                  .arg(digest)
                  .arg(mbPerSecond(sparseMiB * 1024 * 1024, ns), 0, 'f', 1));
    print(QStringLiteral("hash: idle resident %1 MiB, peak %2 MiB, above idle %3 MiB "
                         "(target < 64) %4")
                  .arg(double(idle) / 1024.0, 0, 'f', 1)
                  .arg(double(peak) / 1024.0, 0, 'f', 1)
                  .arg(aboveMiB, 0, 'f', 1)
                  .arg(aboveMiB < 64.0 ? QStringLiteral("ok") : QStringLiteral("ABOVE TARGET")));
    QFile::remove(path);
    return 0;
}

} // namespace

int runHash(const QStringList &args)
{
    std::unique_ptr<QTemporaryDir> temporary;
    QString root = option(args, QStringLiteral("dir"));
    if (root.isEmpty()) {
        temporary.reset(
                new QTemporaryDir(QDir::tempPath() + QStringLiteral("/corvin-bench-XXXXXX")));
        if (!temporary->isValid()) {
            print(QStringLiteral("hash: no temporary folder"));
            return 1;
        }
        root = temporary->path();
    } else if (!QDir().mkpath(root)) {
        print(QStringLiteral("hash: cannot create %1").arg(root));
        return 1;
    }
    const int treeResult = hashTree(args, root);
    const int sparseResult = hashSparse(args, root);
    return treeResult != 0 ? treeResult : sparseResult;
}

} // namespace Bench
