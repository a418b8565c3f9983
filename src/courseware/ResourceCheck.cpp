#include "ResourceCheck.h"

#include "util/DigestCache.h"
#include "util/FileIdentity.h"
#include "util/FileUtils.h"
#include "util/Md5.h"
#include "util/SafePath.h"

#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <QtConcurrent>

ResourceCheck::ResourceCheck(const QString &folder, const QVector<ResourceElement> &flow,
                             const QVector<ResourceElement> &resources, DigestCache *cache)
    : cache(cache)
{
    checked.reserve(flow.size() + resources.size());
    for (const QVector<ResourceElement> *list : {&flow, &resources}) {
        for (const ResourceElement &element : *list) {
            File file;
            // Never read a file outside the download folder; the element counts as failed.
            if (!SafePath::join(folder, element.localPath, &file.path))
                file.outcome = Outcome::RefusedPath;
            file.announced = element.fileMd5;
            checked.append(file);
        }
    }
}

ResourceCheck::~ResourceCheck()
{
    if (started)
        done.future().waitForFinished();
}

QFuture<void> ResourceCheck::start(QThreadPool *pool, std::function<void()> whenDone)
{
    started = true;
    this->whenDone = std::move(whenDone);
    done.reportStarted();
    const QFuture<void> future = done.future();
    if (checked.isEmpty()) {
        finish();
        return future;
    }
    // A few workers take the files one by one: a task a file would cost more than a small file's
    // hash. The checks of several courseware share the pool's threads.
    const int workers = qBound(1, pool->maxThreadCount(), checked.size());
    workersLeft = workers;
    for (int i = 0; i < workers; ++i)
        QtConcurrent::run(pool, [this] { work(); });
    return future;
}

void ResourceCheck::run()
{
    start(QThreadPool::globalInstance()).waitForFinished();
}

void ResourceCheck::work()
{
    // The sizes first, so that the progress has its whole before any file is read.
    for (int i = nextSize++; i < checked.size(); i = nextSize++) {
        File &file = checked[i];
        if (file.outcome != Outcome::RefusedPath) {
            file.size = QFileInfo(file.path).size();
            bytesTotal += file.size;
        }
    }
    std::vector<char> buffer;
    for (int i = next++; i < checked.size(); i = next++) {
        File &file = checked[i];
        try {
            checkFile(file, buffer);
        } catch (...) {
            // Out of memory, or a progress handler that threw: the file failed, the check goes on
            // and still ends.
            file.outcome = Outcome::Unreadable;
            file.digest = FileUtils::unreadableMd5();
            file.fromCache = false;
        }
    }
    if (--workersLeft == 0)
        finish();
}

void ResourceCheck::finish()
{
    if (whenDone)
        whenDone();
    done.reportFinished();
}

void ResourceCheck::checkFile(File &file, std::vector<char> &buffer)
{
    if (file.outcome == Outcome::RefusedPath || FileUtils::stopRequested())
        return;
    qint64 counted = 0;
    QFile in(file.path);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        file.outcome = QFileInfo::exists(file.path) ? Outcome::Unreadable : Outcome::Missing;
    } else {
        const FileIdentity before = FileIdentity::of(in);
        if (cache) {
            file.digest = cache->lookup(file.path, before);
            file.fromCache = !file.digest.isEmpty();
        }
        if (!file.fromCache) {
            FileUtils::adviseSequentialRead(in);
            const qint64 hashedAt = FileIdentity::now();
            const auto heard = [this, &counted](qint64 chunk) {
                counted += chunk;
                bytesDone += chunk;
                if (progress)
                    progress(chunk);
            };
            file.digest = FileUtils::md5Hex(&in, heard, &buffer);
            if (FileUtils::stopRequested()) {
                file.digest.clear();
                return; // Stopped
            }
            // Kept only when nothing changed the file while it was read.
            if (cache && !file.digest.isEmpty() && FileIdentity::of(in) == before)
                cache->store(file.path, before, file.digest, hashedAt);
        }
        if (file.digest.isEmpty())
            file.outcome = Outcome::Unreadable;
        else
            file.outcome = Md5::sameDigest(file.announced, file.digest) ? Outcome::Passed
                                                                        : Outcome::Differs;
    }
    bytesDone += qMax<qint64>(0, file.size - counted);
    if (file.outcome == Outcome::Missing || file.outcome == Outcome::Unreadable) {
        // Counts as empty content: it still passes where the service announced just that.
        file.digest = FileUtils::unreadableMd5();
        if (Md5::sameDigest(file.announced, file.digest))
            file.outcome = Outcome::Passed;
    }
}

int ResourceCheck::fromCache() const
{
    int count = 0;
    for (const File &file : checked)
        count += file.fromCache ? 1 : 0;
    return count;
}

bool ResourceCheck::passed() const
{
    for (const File &file : checked) {
        if (file.outcome != Outcome::Passed)
            return false;
    }
    return true;
}

bool ResourceCheck::stopped() const
{
    for (const File &file : checked) {
        if (file.outcome == Outcome::Stopped)
            return true;
    }
    return false;
}
