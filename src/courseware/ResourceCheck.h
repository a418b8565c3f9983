#ifndef RESOURCECHECK_H
#define RESOURCECHECK_H

#include "courseware/ResourceElement.h"

#include "util/FileHashing.h"

#include <QFuture>
#include <QString>
#include <QVector>

#include <functional>

class DigestCache;
class QThreadPool;

// The check of one courseware's downloaded files against the digests the service announced:
// a folder and the two element lists in, a result per file out. Every file is read, also after
// a mismatch; the reading and hashing are FileHashing's, the judging is done here. Runs on a
// thread pool; knows nothing of the service, the settings or a window.
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

    // Hears the bytes of each chunk read, on the thread that read it.
    void setProgressHandler(std::function<void(qint64)> handler)
    {
        hashing.setProgressHandler(std::move(handler));
    }
    // Hears that the files from `from` up to `to` (not included) have their results, in list
    // order while the check goes on: on whichever pool thread has them, one call at a time.
    // Every call is made before the future ends.
    void setResultHandler(std::function<void(int from, int to)> handler)
    {
        hashing.setResultHandler(std::move(handler));
    }

    // Starts the check on the pool and returns; the future ends when every file has its result,
    // after `whenDone` has run on the thread that checked the last file. Call once.
    QFuture<void> start(QThreadPool *pool, std::function<void()> whenDone = {});
    // start() on the global pool, then waits.
    void run();

    // Read at any time: the size of the files, and how much of it is done. With many files
    // the size is an estimate until every file has been opened.
    qint64 totalBytes() const { return hashing.totalBytes(); }
    qint64 doneBytes() const { return hashing.doneBytes(); }

    // Once the future has ended.
    const QVector<File> &files() const { return checked; }
    int fromCache() const;
    bool passed() const;
    bool stopped() const;

private:
    Q_DISABLE_COPY(ResourceCheck)

    const ResourceElement &element(int index) const;
    void judge(int index);

    QString folder;
    QVector<ResourceElement> flow;
    QVector<ResourceElement> resources;
    QVector<File> checked;
    // Declared last: destroyed, and so waited for, before what its tasks write into.
    FileHashing hashing;
};

#endif // RESOURCECHECK_H
