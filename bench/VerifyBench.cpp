#include "VerifyBench.h"

#include "BenchCommon.h"
#include "config/AppContext.h"
#include "courseware/CoursewareResource.h"
#include "util/DigestCache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThreadPool>

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

// Courseware written below a download folder, with the resource-list reply of each.
struct Download
{
    QString root;
    QStringList ids;
    QStringList replies;
    QStringList files;
    qint64 bytes = 0;
};

bool writeDownload(const QString &root, const QString &prefix, int courseware, int filesEach,
                   qint64 fileMiB, Download *download)
{
    download->root = root;
    for (int c = 0; c < courseware; ++c) {
        const QString id = QStringLiteral("%1%2").arg(prefix).arg(c);
        const QString folder = QStringLiteral("%1/%2/1/").arg(root, id);
        QJsonArray flow;
        QJsonArray elements;
        for (int f = 0; f < filesEach; ++f) {
            const QString localPath
                    = QStringLiteral("%1/f%2.bin")
                              .arg(f < 4 ? QStringLiteral("xml") : QStringLiteral("image"))
                              .arg(f);
            const QString path = folder + localPath;
            QDir().mkpath(QFileInfo(path).absolutePath());
            if (!writeFile(path, fileMiB * 1024 * 1024, quint32(qHash(id) + f))) {
                print(QStringLiteral("verify: cannot write %1").arg(path));
                return false;
            }
            download->files << path;
            download->bytes += fileMiB * 1024 * 1024;
            const QJsonObject element {{QStringLiteral("localPath"), localPath},
                                       {QStringLiteral("fileMd5"), fileDigest(path)},
                                       {QStringLiteral("fileType"), QStringLiteral("image")}};
            (f < 4 ? flow : elements).append(element);
        }
        const QJsonObject list {{QStringLiteral("success"), true},
                                {QStringLiteral("flowConfList"), flow},
                                {QStringLiteral("resourceElements"), elements}};
        download->ids << id;
        download->replies << QString::fromUtf8(
                QJsonDocument(QJsonObject {{QStringLiteral("coursewareResource"), list}})
                        .toJson(QJsonDocument::Compact));
    }
    return true;
}

// One verification of every courseware, from their resource-list replies to their last report,
// with the GUI thread's event loop running as in the selection window; wall time in ns.
qint64 verifyAll(const Download &download, int *passed, double *blockedMs)
{
    QEventLoop loop;
    int reported = 0;
    *passed = 0;
    std::vector<std::unique_ptr<CoursewareResource>> resources;
    for (const QString &id : download.ids) {
        // No service here: the request fails at once and its empty answer comes second.
        resources.emplace_back(
                new CoursewareResource(id + QStringLiteral("_1"), QString(), download.root, id, 1));
        QObject::connect(resources.back().get(), &CoursewareResource::CoursewareResourceStatChanged,
                         &loop, [&](bool ok) {
                             *passed += ok ? 1 : 0;
                             if (++reported == int(download.ids.size()))
                                 loop.quit();
                         });
    }
    BlockMeter meter;
    meter.start();
    QElapsedTimer timer;
    timer.start();
    for (size_t i = 0; i < resources.size(); ++i)
        resources[i]->on_CoursewareResource_2(download.replies.at(int(i)));
    loop.exec();
    const qint64 ns = timer.nsecsElapsed();
    *blockedMs = qMax(*blockedMs, meter.stopMs());
    return ns;
}

struct Figures
{
    qint64 ours = 0;
    qint64 tool = 0;
    double blockedMs = 0;
    bool ok = true;
};

// Best of `rounds` for our verification (cache on or off) and for md5sum in `processes`.
Figures compare(const Download &download, int processes, bool cache, int rounds)
{
    Figures figures;
    AppContext::instance().settings->setValue(QStringLiteral("Server/MD5Cache"), cache ? 1 : 0);
    for (int round = 0; round < rounds && figures.ok; ++round) {
        int passed = 0;
        silenceLog();
        const qint64 ours = verifyAll(download, &passed, &figures.blockedMs);
        restoreLog();
        bool toolOk = false;
        const qint64 tool = md5sumRun(download.files, processes, &toolOk);
        figures.ok = toolOk && passed == int(download.ids.size());
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
                  .arg(download.ids.size())
                  .arg(download.files.size() / download.ids.size()));
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

} // namespace

int runVerify(const QStringList &args)
{
    const qint64 fileMiB = optionMiB(args, QStringLiteral("file-size"), 4);
    const int filesEach = int(optionMiB(args, QStringLiteral("files"), 64));
    const int courseware = int(optionMiB(args, QStringLiteral("courseware"), 4));
    const int rounds = int(optionMiB(args, QStringLiteral("rounds"), 3));
    const QString base = option(args, QStringLiteral("dir"), QDir::tempPath());

    QTemporaryDir temp(base + QStringLiteral("/corvin-verify-XXXXXX"));
    temp.setAutoRemove(!flag(args, QStringLiteral("keep")));
    if (!temp.isValid()) {
        print(QStringLiteral("verify: cannot make a folder in %1").arg(base));
        return 1;
    }
    // Several courseware, and one courseware holding as many files.
    Download spread;
    Download single;
    print(QStringLiteral("verify: writing the courseware in %1").arg(temp.path()));
    if (!writeDownload(temp.path() + QStringLiteral("/spread"), QStringLiteral("S"), courseware,
                       filesEach, fileMiB, &spread)
        || !writeDownload(temp.path() + QStringLiteral("/single"), QStringLiteral("O"), 1,
                          filesEach * courseware, fileMiB, &single))
        return 1;

    // Settings and digest cache of this run only.
    const QString ini = temp.path() + QStringLiteral("/config.ini");
    AppContext &context = AppContext::instance();
    QSettings *previous = context.settings;
    context.settings = new QSettings(ini, QSettings::IniFormat);
    context.settings->setValue(QStringLiteral("Server/MD5"), 1);
    QFile::remove(DigestCache::shared().fileName());
    DigestCache::shared().reload();

    warmCache(spread.files + single.files);
    warmCache(spread.files + single.files);
    const Figures spreadFigures = compare(spread, 2, false, rounds);
    const Figures singleFigures = compare(single, 1, false, rounds);
    // Once with the cache to fill it, then the same files again, nothing changed.
    compare(spread, 2, true, 1);
    const Figures cachedFigures = compare(spread, 2, true, rounds);
    delete context.settings;
    context.settings = previous;
    QFile::remove(DigestCache::shared().fileName());

    if (!spreadFigures.ok || !singleFigures.ok || !cachedFigures.ok) {
        print(QStringLiteral("verify: md5sum failed or a courseware did not pass"));
        return 1;
    }
    print(QStringLiteral("verify: warm page cache, best of %1 rounds, pool of %2 threads")
                  .arg(rounds)
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

} // namespace Bench
