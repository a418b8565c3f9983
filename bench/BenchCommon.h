#ifndef BENCHCOMMON_H
#define BENCHCOMMON_H

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include "courseware/ResourceElement.h"

// Helpers shared by the benchmark sections. A section is a function taking the options that
// follow its name on the command line and returning the process exit code.
namespace Bench {

using SectionFunction = int (*)(const QStringList &args);

struct Section
{
    const char *name;
    const char *summary;
    SectionFunction run;
};

// "--name value" or "--name=value"; fallback when absent.
QString option(const QStringList &args, const QString &name, const QString &fallback = QString());
qint64 optionMiB(const QStringList &args, const QString &name, qint64 fallback);
bool flag(const QStringList &args, const QString &name);

// Fields of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 where not available.
qint64 statusKiB(const char *field);
// Sets the peak resident size back to the current one (writes "5" to /proc/self/clear_refs).
bool resetPeakResident();

// Writes a file of `bytes` bytes of varied content; false on a write error.
bool writeFile(const QString &path, qint64 bytes, quint32 seed);
// Writes what is pending to disk, then reads the files once so that the timed passes find them
// in the page cache.
void warmCache(const QStringList &files);

// A courseware tree below `folder`: `count` files of `bytes` each, spread over `folders` type
// folders ("image0", "audio1", ...; every fourth file of the first folder a flow file), with
// the resource lists that name them and their digests.
struct Tree
{
    QString folder; // ends in "/"
    QVector<ResourceElement> flow;
    QVector<ResourceElement> resources;
    QStringList files;
    qint64 bytes = 0;
};
bool writeTree(const QString &folder, int count, qint64 bytes, int folders, quint32 seed,
               Tree *tree);
// `program` (md5sum, cat) over the files in `processes` processes at once (as xargs -P would),
// its output thrown away; wall time in ns.
qint64 toolRun(const QString &program, const QStringList &files, int processes, bool *ok);
// Waits until the newest file written is older than the digest cache's settle window, as the
// files of a distribution that ended earlier are.
void letFilesSettle();

// Under `perf record --delay=-1 --control fifo:CTL,ACK` with CORVIN_BENCH_PERF_CTL=CTL and
// CORVIN_BENCH_PERF_ACK=ACK in the environment: samples are taken only between
// profileTimed(true) and profileTimed(false), the timed passes, not the set-up. With
// CORVIN_BENCH_CHECK_ONLY set, the small-files section samples a teacher's check alone.
void profileTimed(bool on);

// The program's console echo goes nowhere while it lives, as for a windowed program.
class QuietConsole
{
public:
    QuietConsole();
    ~QuietConsole();

private:
    int saved = -1;
};

// Log lines of the code under test are not part of what is measured.
void silenceLog();
void restoreLog();
// Removes a copy made by a timed pass, quietly, and has the removal reach the disk before the
// next pass: on a file system mounted with online discard the freed blocks are discarded when
// the journal commits, which would otherwise fall into whichever pass comes next.
void removeCopy(const QString &folder);

double mbPerSecond(qint64 bytes, qint64 nanoseconds);

// Longest time between two ticks of a 10 ms timer on this thread, less the 10 ms: how long the
// thread's event loop was held up while the meter ran.
class BlockMeter
{
public:
    BlockMeter();
    void start();
    double stopMs();

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 lastNs = 0;
    qint64 maxGapNs = 0;
};

// "ok" or the given word, for a figure against its target.
QString verdict(bool met, const char *otherwise = "BELOW TARGET");
void print(const QString &line);

} // namespace Bench

#endif // BENCHCOMMON_H
