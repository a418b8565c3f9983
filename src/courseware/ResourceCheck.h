#ifndef RESOURCECHECK_H
#define RESOURCECHECK_H

#include "courseware/ResourceElement.h"

#include <QFuture>
#include <QFutureInterface>
#include <QMutex>
#include <QString>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>

class DigestCache;
class FileReader;
class QThreadPool;

// The check of one courseware's downloaded files against the digests the service announced:
// a folder and the two element lists in, a result per file out. Every file is read, also after
// a mismatch. Runs on a thread pool; knows nothing of the service, the settings or a window.
class ResourceCheck
{
public:
    enum class Outcome {
        Passed,
        Missing,
        Unreadable,
        Differs,
        RefusedPath, // the name leads out of the folder: never read
        Stopped, // the program is ending: not read
        OutOfMemory, // the check could not do it: says nothing of the file
    };

    struct File
    {
        QString path; // folder + localPath
        QString announced;
        // As computed or taken from the cache; for a file that could not be read, the digest
        // of empty content it counts with.
        QString digest;
        qint64 size = 0;
        Outcome outcome = Outcome::Stopped;
        bool fromCache = false;
    };

    // The flow files first, then the resources, as the lists name them. Without a cache every
    // file is hashed.
    ResourceCheck(const QString &folder, const QVector<ResourceElement> &flow,
                  const QVector<ResourceElement> &resources, DigestCache *cache = nullptr);
    // Waits for the check's tasks: they read this object.
    ~ResourceCheck();

    // Hears the bytes of each chunk read, on the thread that read it.
    void setProgressHandler(std::function<void(qint64)> handler) { progress = std::move(handler); }
    // Hears that the files from `from` up to `to` (not included) have their results, in list
    // order while the check goes on: on whichever pool thread has them, one call at a time.
    // Every call is made before the future ends.
    void setResultHandler(std::function<void(int from, int to)> handler)
    {
        results = std::move(handler);
    }

    // Starts the check on the pool and returns; the future ends when every file has its result,
    // after `whenDone` has run on the thread that checked the last file. Call once.
    QFuture<void> start(QThreadPool *pool, std::function<void()> whenDone = {});
    // start() on the global pool, then waits.
    void run();

    // Read at any time: the size of the files, and how much of it is done. With many files
    // the size is an estimate until every file has been opened.
    qint64 totalBytes() const;
    qint64 doneBytes() const { return bytesDone; }

    // Once the future has ended.
    const QVector<File> &files() const { return checked; }
    int fromCache() const;
    bool passed() const;
    bool stopped() const;

private:
    Q_DISABLE_COPY(ResourceCheck)

    struct Lanes;
    struct Streams;

    const ResourceElement &element(int index) const;
    void joinPath(int index);
    void work();
    void sizeFiles();
    void checkFiles(Lanes &lanes, Streams &streams, std::vector<char> &buffer, int held[2]);
    void giveUp(Lanes &lanes, Streams &streams, const int held[2]);
    bool streamOrQueue(File &file, int index, bool opened, FileReader &in, Lanes &lanes);
    void hashLanes(Lanes &lanes);
    bool joinStreams(const File &file, int index, bool opened, std::unique_ptr<FileReader> &reader,
                     Streams &streams);
    void hashStreams(Streams &streams, bool all);
    void endStream(Streams &streams, int lane);
    void fileFinished(int index);
    void sizeFile(File &file, qint64 size);
    void report(bool wait);
    void finish();
    bool openFile(File &file, FileReader &in);
    void checkFile(File &file, FileReader &in, bool opened, std::vector<char> &buffer);
    void judge(File &file);
    void settle(File &file, qint64 counted);
    template<typename F>
    bool guarded(File &file, F step);

    QVector<File> checked;
    DigestCache *cache = nullptr;
    QString folder;
    QVector<ResourceElement> flow;
    QVector<ResourceElement> resources;
    std::function<void(qint64)> progress;
    std::function<void()> whenDone;
    std::function<void(int, int)> results;
    std::unique_ptr<std::atomic<bool>[]> fileDone;
    QMutex reportMutex;
    QMutex sizingMutex;
    QWaitCondition allSized;
    int reported = 0; // files handed to `results`, under reportMutex
    std::atomic<int> nextSize {0};
    std::atomic<int> next {0};
    std::atomic<int> workersLeft {0};
    bool sizedUpFront = true;
    std::atomic<qint64> bytesTotal {0}; // of the files sized so far
    std::atomic<int> filesSized {0};
    std::atomic<qint64> bytesDone {0};
    QFutureInterface<void> done;
    bool started = false;
};

#endif // RESOURCECHECK_H
