#include "VerifyBench.h"

#include "BenchCommon.h"
#include "courseware/ResourceCheck.h"
#include "util/DigestCache.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QTemporaryDir>
#include <QThreadPool>

#include <memory>
#include <vector>

#ifdef Q_OS_LINUX
#include <unistd.h>
#endif

namespace Bench {

namespace {

// Courseware written below a download folder: one tree each.
struct Download
{
    std::vector<Tree> courseware;
    QStringList files;
    qint64 bytes = 0;
};

bool writeDownload(const QString &root, int courseware, int filesEach, qint64 fileMiB,
                   Download *download)
{
    for (int c = 0; c < courseware; ++c) {
        Tree tree;
        if (!writeTree(QStringLiteral("%1/C%2/1").arg(root).arg(c), filesEach,
                       fileMiB * 1024 * 1024, 4, quint32(c * 1000), &tree)) {
            print(QStringLiteral("verify: cannot write below %1").arg(root));
            return false;
        }
        download->files += tree.files;
        download->bytes += tree.bytes;
        download->courseware.push_back(tree);
    }
    return true;
}

// One verification of every courseware, each started as its resource list arrives, with the GUI
// thread's event loop running as in the selection window; wall time in ns.
qint64 verifyAll(const Download &download, DigestCache *cache, int *passed, double *blockedMs)
{
    std::vector<std::unique_ptr<ResourceCheck>> checks;
    std::vector<std::unique_ptr<QFutureWatcher<void>>> watchers;
    QEventLoop loop;
    int finished = 0;
    *passed = 0;
    BlockMeter meter;
    meter.start();
    QElapsedTimer timer;
    timer.start();
    for (const Tree &tree : download.courseware) {
        checks.emplace_back(new ResourceCheck(tree.folder, tree.flow, tree.resources, cache));
        watchers.emplace_back(new QFutureWatcher<void>);
        ResourceCheck *check = checks.back().get();
        QObject::connect(watchers.back().get(), &QFutureWatcher<void>::finished, &loop, [&, check] {
            *passed += check->passed() ? 1 : 0;
            if (++finished == int(download.courseware.size()))
                loop.quit();
        });
        watchers.back()->setFuture(check->start(QThreadPool::globalInstance()));
    }
    loop.exec();
    const qint64 ns = timer.nsecsElapsed();
    *blockedMs = qMax(*blockedMs, meter.stopMs());
    if (cache)
        cache->save();
    return ns;
}

struct Figures
{
    qint64 ours = 0;
    qint64 tool = 0;
    double blockedMs = 0;
    bool ok = true;
};

// Best of `rounds` for our verification and for md5sum in `processes`; `before` runs ahead of
// each timed pass.
template<typename F>
Figures compare(const Download &download, int processes, DigestCache *cache, int rounds, F before)
{
    Figures figures;
    for (int round = 0; round < rounds && figures.ok; ++round) {
        int passed = 0;
        before();
        profileTimed(true);
        const qint64 ours = verifyAll(download, cache, &passed, &figures.blockedMs);
        profileTimed(false);
        before();
        bool toolOk = false;
        const qint64 tool = toolRun(QStringLiteral("md5sum"), download.files, processes, &toolOk);
        figures.ok = toolOk && passed == int(download.courseware.size());
        figures.ours = figures.ours == 0 ? ours : qMin(figures.ours, ours);
        figures.tool = figures.tool == 0 ? tool : qMin(figures.tool, tool);
    }
    return figures;
}

void report(const char *name, const Download &download, const Figures &figures, const char *tool,
            double target)
{
    const double ratio = figures.ours > 0 ? double(figures.tool) / double(figures.ours) : 0.0;
    print(QStringLiteral("verify %1: %2 MiB in %3 courseware x %4 files")
                  .arg(QLatin1String(name))
                  .arg(download.bytes / (1024 * 1024))
                  .arg(download.courseware.size())
                  .arg(download.files.size() / int(download.courseware.size())));
    print(QStringLiteral("verify %1:   ours %2 ms (%3 MB/s), %4 %5 ms (%6 MB/s)")
                  .arg(QLatin1String(name))
                  .arg(double(figures.ours) / 1e6, 0, 'f', 1)
                  .arg(mbPerSecond(download.bytes, figures.ours), 0, 'f', 1)
                  .arg(QLatin1String(tool))
                  .arg(double(figures.tool) / 1e6, 0, 'f', 1)
                  .arg(mbPerSecond(download.bytes, figures.tool), 0, 'f', 1));
    print(QStringLiteral("verify %1:   ratio %2/ours %3 (target >= %4) %5")
                  .arg(QLatin1String(name), QLatin1String(tool))
                  .arg(ratio, 0, 'f', 3)
                  .arg(target)
                  .arg(verdict(ratio >= target)));
}

// Empties the page cache (root only) so that every file comes from the disk.
bool dropPageCache()
{
#ifdef Q_OS_LINUX
    ::sync();
    QFile drop(QStringLiteral("/proc/sys/vm/drop_caches"));
    return drop.open(QIODevice::WriteOnly) && drop.write("3\n") == 2;
#else
    return false;
#endif
}

struct Options
{
    qint64 fileMiB;
    int filesEach;
    int courseware;
    int rounds;
    QString base;
    bool keep;
};

Options options(const QStringList &args)
{
    return {optionMiB(args, QStringLiteral("file-size"), 4),
            int(optionMiB(args, QStringLiteral("files"), 64)),
            int(optionMiB(args, QStringLiteral("courseware"), 4)),
            int(optionMiB(args, QStringLiteral("rounds"), 3)),
            option(args, QStringLiteral("dir"), QDir::tempPath()),
            flag(args, QStringLiteral("keep"))};
}

} // namespace

int runVerify(const QStringList &args)
{
    const Options o = options(args);
    QTemporaryDir temp(o.base + QStringLiteral("/corvin-verify-XXXXXX"));
    temp.setAutoRemove(!o.keep);
    if (!temp.isValid()) {
        print(QStringLiteral("verify: cannot make a folder in %1").arg(o.base));
        return 1;
    }
    // Several courseware, and one courseware holding as many files.
    Download spread;
    Download single;
    print(QStringLiteral("verify: writing the courseware in %1").arg(temp.path()));
    if (!writeDownload(temp.path() + QStringLiteral("/spread"), o.courseware, o.filesEach,
                       o.fileMiB, &spread)
        || !writeDownload(temp.path() + QStringLiteral("/single"), 1, o.filesEach * o.courseware,
                          o.fileMiB, &single))
        return 1;
    // As after a distribution that ended a while ago: the cache keeps digests of settled files.
    letFilesSettle();
    warmCache(spread.files + single.files);
    warmCache(spread.files + single.files);
    const auto nothing = [] {
    };
    const Figures spreadFigures = compare(spread, 2, nullptr, o.rounds, nothing);
    const Figures singleFigures = compare(single, 1, nullptr, o.rounds, nothing);
    // A cache of this run only: once to fill it, then the same files again, nothing changed.
    DigestCache cache(temp.path() + QStringLiteral("/md5-cache.json"));
    compare(spread, 2, &cache, 1, nothing);
    const Figures cachedFigures = compare(spread, 2, &cache, o.rounds, nothing);
    if (!spreadFigures.ok || !singleFigures.ok || !cachedFigures.ok) {
        print(QStringLiteral("verify: md5sum failed or a courseware did not pass"));
        return 1;
    }
    print(QStringLiteral("verify: warm page cache, best of %1 rounds, pool of %2 threads")
                  .arg(o.rounds)
                  .arg(QThreadPool::globalInstance()->maxThreadCount()));
    report("spread", spread, spreadFigures, "md5sum -P2", 1.05);
    report("single", single, singleFigures, "md5sum", 1.8);
    report("cached", spread, cachedFigures, "md5sum -P2", 50);
    const double blocked
            = qMax(spreadFigures.blockedMs, qMax(singleFigures.blockedMs, cachedFigures.blockedMs));
    print(QStringLiteral("verify: GUI thread blocked  %1 ms at most (target <= 16) %2")
                  .arg(blocked, 0, 'f', 1)
                  .arg(verdict(blocked <= 16, "ABOVE TARGET")));
    return 0;
}

int runCold(const QStringList &args)
{
    const Options o = options(args);
    if (!dropPageCache()) {
        print(QStringLiteral("cold: skipped: emptying the page cache takes root "
                             "(/proc/sys/vm/drop_caches)"));
        return 0;
    }
    QTemporaryDir temp(o.base + QStringLiteral("/corvin-cold-XXXXXX"));
    temp.setAutoRemove(!o.keep);
    Download spread;
    print(QStringLiteral("cold: writing the courseware in %1").arg(temp.path()));
    if (!temp.isValid()
        || !writeDownload(temp.path() + QStringLiteral("/spread"), o.courseware, o.filesEach,
                          o.fileMiB, &spread))
        return 1;
    letFilesSettle();
    // The first check after a distribution: nothing of it in memory yet.
    const Figures figures = compare(spread, 2, nullptr, o.rounds, [] { dropPageCache(); });
    // The disk's own pace: the same files read and thrown away, two readers at once.
    qint64 raw = 0;
    bool rawOk = true;
    for (int round = 0; round < o.rounds && rawOk; ++round) {
        dropPageCache();
        const qint64 ns = toolRun(QStringLiteral("cat"), spread.files, 2, &rawOk);
        raw = raw == 0 ? ns : qMin(raw, ns);
    }
    if (!figures.ok || !rawOk) {
        print(QStringLiteral("cold: md5sum or cat failed, or a courseware did not pass"));
        return 1;
    }
    print(QStringLiteral("cold: page cache emptied before each pass, best of %1 rounds")
                  .arg(o.rounds));
    report("cold", spread, figures, "md5sum -P2", 1.0);
    const double pace = double(raw) / double(figures.ours);
    print(QStringLiteral("verify cold:   two cat at once %1 ms (%2 MB/s)")
                  .arg(double(raw) / 1e6, 0, 'f', 1)
                  .arg(mbPerSecond(spread.bytes, raw), 0, 'f', 1));
    print(QStringLiteral("verify cold:   ratio cat/ours %1, the disk's pace (target >= 0.9) %2")
                  .arg(pace, 0, 'f', 3)
                  .arg(verdict(pace >= 0.9)));
    return 0;
}

} // namespace Bench
