#include "SmallFilesBench.h"

#include "BenchCommon.h"
#include "app/LogMessageHandler.h"
#include "config/AppContext.h"
#include "courseware/CoursewareResource.h"
#include "courseware/ResourceCheck.h"
#include "courseware/ResourceCopy.h"
#include "util/DigestCache.h"
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
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <cstdio>
#include <functional>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#endif

namespace Bench {

namespace {

QJsonArray elementArray(const QVector<ResourceElement> &elements)
{
    QJsonArray array;
    for (const ResourceElement &e : elements)
        array.append(QJsonObject {{QStringLiteral("localPath"), e.localPath},
                                  {QStringLiteral("fileMd5"), e.fileMd5},
                                  {QStringLiteral("fileType"), e.fileType}});
    return array;
}

// CPU time of this process, and of its children that have ended.
qint64 processCpuNs()
{
#ifdef Q_OS_UNIX
    struct timespec time;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
#else
    return 0;
#endif
}

qint64 childrenCpuNs()
{
#ifdef Q_OS_UNIX
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000
            + (qint64(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
#else
    return 0;
#endif
}

int filesBelow(const QString &folder)
{
    int count = 0;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

} // namespace

int runSmallFiles(const QStringList &args)
{
    const int count = int(optionMiB(args, QStringLiteral("files"), 20000));
    const qint64 fileKiB = optionMiB(args, QStringLiteral("file-kib"), 4);
    const int folders = int(optionMiB(args, QStringLiteral("folders"), 40));
    const int rounds = int(optionMiB(args, QStringLiteral("rounds"), 3));
    const QString base = option(args, QStringLiteral("dir"), QDir::tempPath());
    QTemporaryDir temp(base + QStringLiteral("/corvin-small-XXXXXX"));
    temp.setAutoRemove(!flag(args, QStringLiteral("keep")));
    if (!temp.isValid()) {
        print(QStringLiteral("small: cannot make a folder in %1").arg(base));
        return 1;
    }
    print(QStringLiteral("small: writing %1 files x %2 KiB in %3 folders in %4")
                  .arg(count)
                  .arg(fileKiB)
                  .arg(folders)
                  .arg(temp.path()));
    Tree tree;
    if (!writeTree(temp.path() + QStringLiteral("/download/SC/1"), count, fileKiB * 1024, folders,
                   7, &tree)) {
        print(QStringLiteral("small: cannot write the courseware"));
        return 1;
    }
    const QString reply = QString::fromUtf8(
            QJsonDocument(QJsonObject {{QStringLiteral("coursewareResource"),
                                        QJsonObject {{QStringLiteral("success"), true},
                                                     {QStringLiteral("flowConfList"),
                                                      elementArray(tree.flow)},
                                                     {QStringLiteral("resourceElements"),
                                                      elementArray(tree.resources)}}}})
                    .toJson(QJsonDocument::Compact));

    // A teacher's run: the log file in the working folder, heron 0.9 (a folder per type) on
    // channel 0, the user's digest cache empty as before the first check of a distribution.
    const QString work = temp.path() + QStringLiteral("/run");
    const QString appData = temp.path() + QStringLiteral("/appdata");
    QDir().mkpath(work);
    QDir().mkpath(appData + QStringLiteral("/heron"));
    QFile clientIni(appData + QStringLiteral("/heron/config.ini"));
    if (!clientIni.open(QIODevice::WriteOnly) || clientIni.write("[Server]\nversion=0.9\n") < 0)
        return 1;
    clientIni.close();
    const QString previousDir = QDir::currentPath();
    const QByteArray previousAppData = qgetenv("APPDATA");
    QDir::setCurrent(work);
    qputenv("APPDATA", QFile::encodeName(appData));
    AppContext &context = AppContext::instance();
    const int previousChannel = context.channelId;
    context.channelId = 0;
    const QString previousTimestamp = runTimestamp;
    runTimestamp = QStringLiteral("20261208000000");
    const QString logFile = work + QStringLiteral("/log/log20261208000000.log");
    const QString resourceFolder = context.clientResourcePath();
    const QString cpTarget = temp.path() + QStringLiteral("/cp-target");
    const QString unitTarget = temp.path() + QStringLiteral("/unit-target/");
    // Every copy of a round goes to a folder of its own, and the copies are removed together at
    // the round's end, then left to age: ext4 without a journal skips the inodes deleted in the
    // last 30 to 35 seconds when it makes a file, which makes a copy right after a removal of
    // 20,000 files several times slower, whichever program copies.
    bool ageGiven = false;
    const int givenAge = option(args, QStringLiteral("deleted-age")).toInt(&ageGiven);
    const int deletedAge = ageGiven && givenAge >= 0 ? givenAge : 36;

    letFilesSettle();
    // After an earlier section or run, too.
    QThread::sleep(unsigned(deletedAge));
    warmCache(tree.files);
    qint64 bestCheck = 0, bestMd5sum = 0, bestCopy = 0, bestCp = 0;
    qint64 bestUnitCheck = 0, bestUnitCopy = 0;
    const QString unitCacheFile = temp.path() + QStringLiteral("/unit-cache.json");
    qint64 checkLog = 0, copyLog = 0;
    qint64 checkCpu = 0, md5sumCpu = 0, unitCheckCpu = 0;
    bool ok = true;
    bool tools = true;
    const auto best = [](qint64 *bestNs, qint64 ns) {
        *bestNs = *bestNs == 0 ? ns : qMin(*bestNs, ns);
    };
    for (int round = 0; round < rounds && ok; ++round) {
        // The units on their own, with a digest cache as empty as the user's below.
        QFile::remove(unitCacheFile);
        {
            DigestCache cache(unitCacheFile);
            ResourceCheck check(tree.folder, tree.flow, tree.resources, &cache);
            QElapsedTimer timer;
            timer.start();
            const qint64 cpuBefore = processCpuNs();
            QFutureWatcher<void> watcher;
            QEventLoop loop;
            QObject::connect(&watcher, &QFutureWatcher<void>::finished, &loop, &QEventLoop::quit);
            watcher.setFuture(check.start(QThreadPool::globalInstance()));
            loop.exec();
            best(&bestUnitCheck, timer.nsecsElapsed());
            best(&unitCheckCpu, processCpuNs() - cpuBefore);
            ok = ok && check.passed();
            cache.save();
        }
        QFile::remove(DigestCache::shared().fileName());
        DigestCache::shared().reload();
        QFile::remove(logFile);
        // Its own request for the list (which the bench answers itself) stays off the console.
        silenceLog();
        CoursewareResource resource(QStringLiteral("Small_1"), QString(),
                                    temp.path() + QStringLiteral("/download"), QStringLiteral("SC"),
                                    1);
        restoreLog();
        {
            QuietConsole quiet;
            const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
            bool passed = false;
            QEventLoop loop;
            QObject::connect(&resource, &CoursewareResource::CoursewareResourceStatChanged, &loop,
                             [&](bool value) {
                                 passed = value;
                                 loop.quit();
                             });
            profileTimed(true);
            QElapsedTimer timer;
            timer.start();
            const qint64 cpuBefore = processCpuNs();
            resource.on_CoursewareResource_2(reply);
            loop.exec();
            best(&bestCheck, timer.nsecsElapsed());
            best(&checkCpu, processCpuNs() - cpuBefore);
            profileTimed(false);
            checkLog = QFileInfo(logFile).size();
            ok = ok && passed;
            qInstallMessageHandler(previous);
        }
        bool toolOk = false;
        const qint64 childrenBefore = childrenCpuNs();
        const qint64 md5sumNs = toolRun(QStringLiteral("md5sum"), tree.files, 2, &toolOk);
        const qint64 toolCpu = childrenCpuNs() - childrenBefore;

        // The copies take turns at going first: on a file system that slows down as it fills
        // (ext4 skipping inodes deleted a few minutes before), the first copy of a round has it
        // easiest.
        const auto unitCopy = [&] {
            ResourceCopy copy(tree.folder, unitTarget, false, tree.flow, tree.resources);
            QFutureWatcher<bool> copied;
            QEventLoop loop;
            QObject::connect(&copied, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);
            QElapsedTimer timer;
            timer.start();
            copied.setFuture(QtConcurrent::run([&copy] { return copy.run(); }));
            loop.exec();
            best(&bestUnitCopy, timer.nsecsElapsed());
            ok = ok && copied.result() && filesBelow(unitTarget) == count;
        };
        const auto teacherCopy = [&] {
            QuietConsole quiet;
            const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
            QFutureWatcher<bool> watcher;
            QEventLoop loop;
            QObject::connect(&watcher, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);
            const qint64 before = QFileInfo(logFile).size();
            const bool profileCopy = qEnvironmentVariableIsEmpty("CORVIN_BENCH_CHECK_ONLY");
            if (profileCopy)
                profileTimed(true);
            QElapsedTimer timer;
            timer.start();
            watcher.setFuture(
                    QtConcurrent::run(&resource, &CoursewareResource::copyToLocalResourcePath));
            loop.exec();
            best(&bestCopy, timer.nsecsElapsed());
            if (profileCopy)
                profileTimed(false);
            copyLog = QFileInfo(logFile).size() - before;
            ok = ok && watcher.result() && filesBelow(resourceFolder) == count;
            qInstallMessageHandler(previous);
        };
        qint64 cpNs = 0;
        int cpCode = -1;
        const auto toolCopy = [&] {
            const QStringList cpArgs {QStringLiteral("-r"), tree.folder + QStringLiteral("."),
                                      cpTarget};
            QElapsedTimer timer;
            timer.start();
            cpCode = QProcess::execute(QStringLiteral("cp"), cpArgs);
            cpNs = timer.nsecsElapsed();
        };
        const std::function<void()> copies[] = {unitCopy, teacherCopy, toolCopy};
        for (int turn = 0; turn < 3 && ok; ++turn)
            copies[(round + turn) % 3]();
        // Without the tools (a Windows build under Wine) our own figures stand alone.
        tools = tools && toolOk && cpCode == 0 && filesBelow(cpTarget) == count;
        removeCopy(unitTarget);
        removeCopy(resourceFolder);
        removeCopy(cpTarget);
        if (round + 1 < rounds)
            QThread::sleep(unsigned(deletedAge));
        if (tools) {
            best(&md5sumCpu, toolCpu);
            best(&bestMd5sum, md5sumNs);
            best(&bestCp, cpNs);
        }
    }
    QFile::remove(DigestCache::shared().fileName());
    DigestCache::shared().reload();
    runTimestamp = previousTimestamp;
    context.channelId = previousChannel;
    QDir::setCurrent(previousDir);
    qputenv("APPDATA", previousAppData);
    if (!ok) {
        print(QStringLiteral("small: a tool failed, the courseware did not pass, or the copy "
                             "differs"));
        return 1;
    }
    const auto perFile = [count](qint64 ns) {
        return double(ns) / 1e3 / count;
    };
    print(QStringLiteral("small: %1 files, %2 MiB, warm page cache, best of %3 rounds")
                  .arg(count)
                  .arg(double(tree.bytes) / (1024 * 1024), 0, 'f', 1)
                  .arg(rounds));
    const auto row = [&](const char *what, qint64 ours, qint64 tool, const char *toolName) {
        QString line = QStringLiteral("small: %1 %2 ms (%3 us a file)")
                               .arg(QLatin1String(what))
                               .arg(double(ours) / 1e6, 0, 'f', 1)
                               .arg(perFile(ours), 0, 'f', 1);
        if (tools) {
            const double ratio = double(tool) / double(ours);
            line += QStringLiteral(", %1 %2 ms: ratio %3 (target >= 1.0) %4")
                            .arg(QLatin1String(toolName))
                            .arg(double(tool) / 1e6, 0, 'f', 1)
                            .arg(ratio, 0, 'f', 3)
                            .arg(verdict(ratio >= 1.0));
        }
        print(line);
    };
    row("verify, the unit           ", bestUnitCheck, bestMd5sum, "md5sum -P2");
    row("verify, a teacher's run    ", bestCheck, bestMd5sum, "md5sum -P2");
    row("copy, the unit             ", bestUnitCopy, bestCp, "cp -r");
    row("copy, a teacher's run      ", bestCopy, bestCp, "cp -r");
    if (tools)
        print(QStringLiteral("small: verify CPU time, the unit %1 ms, a teacher's run %2 ms, "
                             "md5sum -P2 %3 ms")
                      .arg(double(unitCheckCpu) / 1e6, 0, 'f', 1)
                      .arg(double(checkCpu) / 1e6, 0, 'f', 1)
                      .arg(double(md5sumCpu) / 1e6, 0, 'f', 1));
    print(QStringLiteral("small: log %1 MiB for the check, %2 MiB for the copy (%3 bytes a file)")
                  .arg(double(checkLog) / (1024 * 1024), 0, 'f', 1)
                  .arg(double(copyLog) / (1024 * 1024), 0, 'f', 1)
                  .arg((checkLog + copyLog) / count));
    return 0;
}

} // namespace Bench
