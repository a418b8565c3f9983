#ifndef FILEHASHING_H
#define FILEHASHING_H

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

// The MD5 of a list of files, as fast as the disk and the processor allow: small files read
// whole and hashed four at a time in SSE2 lanes, large ones side by side in lane streams or
// through Md5 alone, the next large file read ahead meanwhile, a digest cache consulted and
// fed. Files in, digests and progress out, the results handed on in list order. Runs on a
// thread pool; knows nothing of what the digests are compared with.
class FileHashing
{
public:
    enum class State {
        Hashed, // `digest` is the file's, read now or taken from the cache
        Missing,
        Unreadable, // could not be opened or read
        Refused, // `locate` refused the file: never read
        Stopped, // the program is ending: not read
        OutOfMemory, // the hashing could not do it: says nothing of the file
        Failed, // a progress handler threw while the file was read
    };

    struct File
    {
        QString path;
        // For Missing and Unreadable once counted: the digest of empty content, which a file
        // that cannot be read counts with; "" when a stop came first.
        QString digest;
        qint64 size = 0;
        State state = State::Stopped;
        bool fromCache = false;
    };

    // `count` files; `locate` gives the path of each (false: never read it), on any worker.
    // Without a cache every file is hashed.
    FileHashing(int count, std::function<bool(int index, QString *path)> locate,
                DigestCache *cache = nullptr);
    // Waits for the tasks: they read this object.
    ~FileHashing();

    // Hears the bytes of each chunk read, on the thread that read it.
    void setProgressHandler(std::function<void(qint64)> handler) { progress = std::move(handler); }
    // Hears that a file's result is final, on the thread that has it, before it is reported.
    void setFileHandler(std::function<void(int index)> handler) { finished = std::move(handler); }
    // Hears that the files from `from` up to `to` (not included) have their results, in list
    // order while the hashing goes on: on whichever pool thread has them, one call at a time.
    // Every call is made before the future ends.
    void setResultHandler(std::function<void(int from, int to)> handler)
    {
        results = std::move(handler);
    }

    // `scope` is called by each worker as it starts, and what it returns is held until the worker
    // ends (the caller's log batching, for example); `beforeLongFile` is called before a worker
    // starts on a large file, which takes a while.
    void setWorkerHooks(std::function<std::shared_ptr<void>()> scope,
                        std::function<void()> beforeLongFile)
    {
        workerScope = std::move(scope);
        longFileAhead = std::move(beforeLongFile);
    }

    // Starts on the pool and returns; the future ends when every file has its result, after
    // `whenDone` has run on the thread that did the last file. Call once.
    QFuture<void> start(QThreadPool *pool, std::function<void()> whenDone = {});

    // Read at any time: the size of the files, and how much of it is done. With many files
    // the size is an estimate until every file has been opened.
    qint64 totalBytes() const;
    qint64 doneBytes() const { return bytesDone; }

    // A file's result once it is final.
    const File &file(int index) const { return entries.at(index); }

private:
    Q_DISABLE_COPY(FileHashing)

    struct Lanes;
    struct Streams;

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
    void planReadAhead();
    void readFilesAhead();
    qint64 readFileAhead(int index, qint64 size);
    void readFollowingAhead(qint64 ownAhead);
    void leaveQueue();
    void report(bool wait);
    void finish();
    bool openFile(File &file, FileReader &in, const std::function<void()> &beforeWaiting = nullptr);
    void checkFile(File &file, FileReader &in, bool opened, std::vector<char> &buffer);
    void judge(File &file);
    void settle(File &file, qint64 counted);
    template<typename F>
    bool guarded(File &file, F step);

    QVector<File> entries;
    DigestCache *cache = nullptr;
    std::function<bool(int, QString *)> locate;
    std::function<void(qint64)> progress;
    std::function<void(int)> finished;
    std::function<void()> whenDone;
    std::function<void(int, int)> results;
    std::function<std::shared_ptr<void>()> workerScope;
    std::function<void()> longFileAhead;
    std::unique_ptr<std::atomic<bool>[]> fileDone;
    QMutex reportMutex;
    QMutex sizingMutex;
    QWaitCondition allSized;
    int reported = 0; // files handed to `results`, under reportMutex
    std::atomic<int> nextSize {0};
    std::atomic<int> next {0};
    std::atomic<int> workersLeft {0};
    bool sizedUpFront = true;
    bool allSizedUp = false; // under sizingMutex
    // Of the files sized up front: how much of the files before each is read ahead, and the
    // next file to be read ahead.
    std::vector<qint64> aheadBefore;
    std::atomic<int> nextAhead {0};
    std::vector<char> mayReadAhead; // not refused, of the files sized up front
    // Read ahead by the hashing started before this one, while its last files were hashed;
    // how many such readers are at it now (under the queue's mutex).
    std::atomic<qint64> readAheadEarly {0};
    int earlyReaders = 0;
    bool queued = false;
    std::atomic<qint64> bytesTotal {0}; // of the files sized so far
    std::atomic<int> filesSized {0};
    std::atomic<qint64> bytesDone {0};
    QFutureInterface<void> done;
    bool started = false;
};

#endif // FILEHASHING_H
