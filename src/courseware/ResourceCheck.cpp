#include "ResourceCheck.h"

#include "app/LogBatch.h"
#include "util/FilePath.h"
#include "util/Md5.h"

#include <QThreadPool>

ResourceCheck::ResourceCheck(const QString &folder, const QVector<ResourceElement> &flow,
                             const QVector<ResourceElement> &resources, DigestCache *cache)
    : folder(folder)
    , flow(flow)
    , resources(resources)
    , hashing(
              flow.size() + resources.size(),
              [this](int index, QString *path) {
                  // Never read a file outside the download folder; the element counts as failed.
                  return FilePath::join(this->folder, element(index).localPath, path);
              },
              cache)
{
    checked.resize(flow.size() + resources.size());
    for (int i = 0; i < checked.size(); ++i)
        checked[i].announced = element(i).fileMd5;
    hashing.setFileHandler([this](int index) { judge(index); });
    // What the result handler logs goes out in a few large writes, not a write per file, and
    // not held in memory while a large file is hashed.
    hashing.setWorkerHooks([] { return std::make_shared<LogBatch>(); }, &LogBatch::writeOut);
}

const ResourceElement &ResourceCheck::element(int index) const
{
    return index < flow.size() ? flow.at(index) : resources.at(index - flow.size());
}

QFuture<void> ResourceCheck::start(QThreadPool *pool, std::function<void()> whenDone)
{
    return hashing.start(pool, std::move(whenDone));
}

void ResourceCheck::run()
{
    start(QThreadPool::globalInstance()).waitForFinished();
}

// The file's outcome from what the hashing found, before the result handler hears of it.
void ResourceCheck::judge(int index)
{
    using State = FileHashing::State;
    const FileHashing::File &hashed = hashing.file(index);
    File &file = checked[index];
    file.path = hashed.path;
    file.digest = hashed.digest;
    file.size = hashed.size;
    file.fromCache = hashed.fromCache;
    switch (hashed.state) {
    case State::Hashed:
        file.outcome
                = Md5::sameDigest(file.announced, file.digest) ? Outcome::Passed : Outcome::Differs;
        break;
    case State::Missing:
    case State::Unreadable:
        file.outcome = hashed.state == State::Missing ? Outcome::Missing : Outcome::Unreadable;
        // Counted as empty content: it still passes where the service announced just that.
        if (!file.digest.isEmpty() && Md5::sameDigest(file.announced, file.digest))
            file.outcome = Outcome::Passed;
        break;
    case State::Failed:
        file.outcome = Outcome::Unreadable;
        break;
    case State::Refused:
        file.outcome = Outcome::RefusedPath;
        break;
    case State::Stopped:
        file.outcome = Outcome::Stopped;
        break;
    case State::OutOfMemory:
        file.outcome = Outcome::OutOfMemory;
        break;
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
