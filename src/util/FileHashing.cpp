#include "FileHashing.h"

#include "util/DigestCache.h"
#include "util/FileIdentity.h"
#include "util/FileReader.h"
#include "util/FileUtils.h"
#include "util/Md5Lanes.h"

#include <QThreadPool>
#include <QtConcurrent>

#include <cstring>
#include <new>

FileHashing::FileHashing(int count, std::function<bool(int, QString *)> locate, DigestCache *cache)
    : cache(cache), locate(std::move(locate))
{
    entries.resize(count);
}

// A file the caller refuses is never read.
void FileHashing::joinPath(int index)
{
    File &file = entries[index];
    if (!locate(index, &file.path))
        file.state = State::Refused;
}

namespace {
// Up to this many files, each is sized before any is read.
const int maxFilesSizedUpFront = 1000;
// Files from this size on are read ahead while the one before is hashed, this much of each.
const qint64 readAheadFrom = 1024 * 1024;
const qint64 readAheadBytes = 16 * 1024 * 1024;
// How much of the files not taken yet is read ahead at a time.
const qint64 readAheadWindow = 64 * 1024 * 1024;
// Files up to this size are read whole and hashed side by side: a small file's hash costs what
// MD5's chain of additions takes, which running several files at once hides.
const qint64 laneFileLimit = 64 * 1024;
// Larger files are hashed side by side too, each read this much at a time: the lanes' chunks
// together stay in the processor's cache.
const qint64 streamChunk = 128 * 1024;

QString hexText(const unsigned char *digest)
{
    static const char digits[] = "0123456789abcdef";
    QString text(32, Qt::Uninitialized);
    QChar *out = text.data();
    for (int i = 0; i < 16; ++i) {
        *out++ = QLatin1Char(digits[digest[i] >> 4]);
        *out++ = QLatin1Char(digits[digest[i] & 15]);
    }
    return text;
}
} // namespace

// Small files read whole, waiting to be hashed together.
struct FileHashing::Lanes
{
    struct Waiting
    {
        int index = -1;
        std::vector<char> content;
        qint64 size = 0;
        FileIdentity identity;
        qint64 hashedAt = 0;
        bool unchanged = false;
    };
    Waiting waiting[Md5Lanes::width];
    int count = 0;
};

// Large files read in chunks and hashed side by side, a lane each.
struct FileHashing::Streams
{
    struct Stream
    {
        int index = -1; // -1: the lane is free
        std::unique_ptr<FileReader> reader;
        std::vector<char> buffer; // read, not hashed yet, from its start
        qint64 pending = 0;
        qint64 read = 0;
        qint64 hashedAt = 0;
        bool atEnd = false;
    };
    Stream lanes[Md5Lanes::Stream::width];
    Md5Lanes::Stream md5;
    int count = 0;
};

namespace {
// The hashings started and not yet destroyed, in the order they started: the checks of several
// courseware run one after another on the pool's threads, and the disk need not wait between
// them.
QMutex queueMutex;
QWaitCondition queueLeft;
QList<FileHashing *> &queue()
{
    // Never destroyed: a hashing may end after the statics at exit.
    static auto *hashings = new QList<FileHashing *>;
    return *hashings;
}
} // namespace

FileHashing::~FileHashing()
{
    if (started)
        done.future().waitForFinished();
    leaveQueue();
}

void FileHashing::leaveQueue()
{
    QMutexLocker locker(&queueMutex);
    if (queued)
        queue().removeOne(this);
    queued = false;
    while (earlyReaders > 0)
        queueLeft.wait(&queueMutex);
}

QFuture<void> FileHashing::start(QThreadPool *pool, std::function<void()> whenDone)
{
    started = true;
    this->whenDone = std::move(whenDone);
    fileDone.reset(new std::atomic<bool>[size_t(entries.size())]);
    for (int i = 0; i < entries.size(); ++i)
        fileDone[size_t(i)] = false;
    done.reportStarted();
    const QFuture<void> future = done.future();
    sizedUpFront = entries.size() <= maxFilesSizedUpFront;
    // Many files are joined to the folder by the worker that takes each, in parallel; a few
    // are joined here, as sizing them up front needs their paths.
    if (sizedUpFront) {
        mayReadAhead.resize(size_t(entries.size()));
        for (int i = 0; i < entries.size(); ++i) {
            joinPath(i);
            mayReadAhead[size_t(i)] = entries[i].state != State::Refused;
        }
        QMutexLocker locker(&queueMutex);
        queue().append(this);
        queued = true;
    }
    if (entries.isEmpty()) {
        finish();
        return future;
    }
    // A few workers take the files one by one: a task a file would cost more than a small file's
    // hash. The checks of several courseware share the pool's threads.
    const int workers = qBound(1, pool->maxThreadCount(), entries.size());
    workersLeft = workers;
    for (int i = 0; i < workers; ++i)
        QtConcurrent::run(pool, [this] { work(); });
    return future;
}

qint64 FileHashing::totalBytes() const
{
    const int sized = filesSized;
    const qint64 bytes = bytesTotal;
    if (sized == 0 || sized >= entries.size())
        return bytes;
    // The files not opened yet are taken to be as large as those opened so far, on average.
    return bytes + bytes / sized * (entries.size() - sized);
}

void FileHashing::work()
{
    if (sizedUpFront)
        sizeFiles();
    bool last = false;
    {
        const std::shared_ptr<void> scope = workerScope ? workerScope() : nullptr;
        std::vector<char> buffer;
        Lanes lanes;
        Streams streams;
        // The code throws no exceptions; this catch departs from that for the hang's sake. Out of
        // memory outside a file's guarded steps (a reader, a lane) would leave the worker count
        // above 0 and the window waiting forever: the files the worker held fail as such, and
        // it goes on with the next.
        for (bool more = true; more;) {
            int held[2] = {-1, -1};
            try {
                checkFiles(lanes, streams, buffer, held);
                more = false;
            } catch (...) {
                giveUp(lanes, streams, held);
            }
        }
        last = --workersLeft == 0;
        if (last)
            report(true);
    }
    if (last)
        finish();
}

// With a few files (large video, typically), their sizes first, so that the progress has its
// whole before any file is read. A web-style courseware of many small files is sized as its
// files are opened: a look at each file beforehand would cost as much as hashing it.
void FileHashing::sizeFiles()
{
    for (int i = nextSize++; i < entries.size(); i = nextSize++) {
        qint64 size = 0;
        try {
            size = FileUtils::fileSize(entries[i].path);
        } catch (...) {
            // Out of memory: the file counts as empty in the progress, and is still read.
        }
        sizeFile(entries[i], size);
    }
    // A file still being sized by another worker is not read before its size is known.
    QMutexLocker locker(&sizingMutex);
    if (filesSized == entries.size() && !allSizedUp) {
        planReadAhead();
        allSizedUp = true;
        allSized.wakeAll();
    }
    while (!allSizedUp)
        allSized.wait(&sizingMutex);
}

void FileHashing::planReadAhead()
{
    aheadBefore.resize(size_t(entries.size()) + 1);
    aheadBefore[0] = 0;
    for (int i = 0; i < entries.size(); ++i) {
        const qint64 size = entries[i].size > laneFileLimit ? entries[i].size : 0;
        aheadBefore[size_t(i) + 1] = aheadBefore[size_t(i)] + qMin(size, readAheadBytes);
    }
}

// The files after those taken have their start read by the system meanwhile, so that the disk
// never waits for a worker to come to a file, and a worker seldom waits for the disk. The start
// of each is enough: once read from, a file is read ahead by the system as it is read.
void FileHashing::readFilesAhead()
{
    if (!sizedUpFront || !FileReader::readsAhead() || FileUtils::stopRequested())
        return;
    for (;;) {
        const int taken = qMin(int(next), entries.size());
        int ahead = nextAhead;
        if (ahead < taken) {
            // The workers came first: those files are being read already.
            nextAhead.compare_exchange_weak(ahead, taken);
            continue;
        }
        if (ahead >= entries.size()) {
            readFollowingAhead(aheadBefore[size_t(entries.size())] - aheadBefore[size_t(taken)]);
            return;
        }
        if (aheadBefore[size_t(ahead)] - aheadBefore[size_t(taken)] >= readAheadWindow)
            return;
        if (nextAhead.compare_exchange_weak(ahead, ahead + 1))
            readFileAhead(ahead, entries[ahead].size);
    }
}

// How much of the file is being read ahead now: 0 when it needs no reading (refused, small, its
// digest cached). Only a plain file of some size is opened for it (a pipe's writer would take
// an open for a reader).
qint64 FileHashing::readFileAhead(int index, qint64 size)
{
    const File &file = entries[index];
    if (!mayReadAhead[size_t(index)])
        return 0;
    if (size < 0)
        size = FileUtils::fileSize(file.path);
    FileReader reader;
    if (size <= laneFileLimit || !reader.openToReadAhead(file.path)
        || (cache && !cache->lookup(file.path, reader.identity()).isEmpty()))
        return 0;
    reader.readAhead(readAheadBytes);
    return qMin(reader.identity().size, readAheadBytes);
}

// With every file of this hashing taken, the files of the one started next are read ahead, while
// what is left of this one is less than the window.
void FileHashing::readFollowingAhead(qint64 ownAhead)
{
    FileHashing *following = nullptr;
    {
        QMutexLocker locker(&queueMutex);
        const int at = queue().indexOf(this);
        if (at < 0 || at + 1 >= queue().size())
            return;
        following = queue().at(at + 1);
        ++following->earlyReaders;
    }
    // Its sizes are not known yet: a few files a call, whatever their size.
    for (int tried = 0; tried < 8 && ownAhead + following->readAheadEarly < readAheadWindow;
         ++tried) {
        const int index = following->nextAhead++;
        if (index >= following->entries.size())
            break;
        following->readAheadEarly += following->readFileAhead(index, -1);
    }
    QMutexLocker locker(&queueMutex);
    --following->earlyReaders;
    queueLeft.wakeAll();
}

// `held` names the files taken and not in a lane or stream, for giveUp().
void FileHashing::checkFiles(Lanes &lanes, Streams &streams, std::vector<char> &buffer, int held[2])
{
    int index = held[0] = next++;
    std::unique_ptr<FileReader> reader(new FileReader);
    bool isOpen = false; // whether `reader` holds the file already
    bool opened = false;
    while (index < entries.size()) {
        File &file = entries[index];
        if (!isOpen) {
            // Before an open that waits (a pipe waits for its writer) the files that wait are
            // done: their results are not to be held back meanwhile. A plain file opens at once
            // and leaves the lanes to fill.
            const auto doWaiting = [&] {
                hashLanes(lanes);
                hashStreams(streams, true);
            };
            opened = guarded(file, [&] {
                if (!sizedUpFront)
                    joinPath(index);
                return openFile(file, *reader, doWaiting);
            });
        }
        // The file that follows, when large, is opened now and read ahead by the system while
        // this one is hashed: the disk works meanwhile.
        std::unique_ptr<FileReader> afterReader(new FileReader);
        const int after = held[1] = next++;
        // While the digests come from the cache nothing needs reading, and a look ahead would
        // only open each file twice.
        if (!file.fromCache)
            readFilesAhead();
        const bool afterOpen
                = after < entries.size() && sizedUpFront && entries[after].size >= readAheadFrom;
        bool afterOpened = false;
        if (afterOpen) {
            File &following = entries[after];
            afterOpened = guarded(following, [&] { return openFile(following, *afterReader); });
            if (afterOpened && !following.fromCache)
                afterReader->readAhead(readAheadBytes);
        }
        if (streamOrQueue(file, index, opened, *reader, lanes)) {
            if (opened && !file.fromCache && reader->identity().size >= readAheadFrom) {
                // A large file takes a while: the lines of the files done so far are written
                // first, not held in memory meanwhile.
                hashLanes(lanes);
                if (longFileAhead)
                    longFileAhead();
            }
            // Side by side with the large files that follow, opened ahead; alone, a file goes
            // through Md5, which is faster for one.
            if ((afterOpen || streams.count > 0)
                && joinStreams(file, index, opened, reader, streams)) {
                hashStreams(streams, false);
            } else {
                guarded(file, [&] {
                    checkFile(file, *reader, opened, buffer);
                    return true;
                });
                fileFinished(index);
            }
        } else if (lanes.count == Md5Lanes::width) {
            hashLanes(lanes);
        }
        index = held[0] = after;
        held[1] = -1;
        reader = std::move(afterReader);
        isOpen = afterOpen;
        opened = afterOpened;
    }
    hashLanes(lanes);
    hashStreams(streams, true);
}

// Every file the worker held that has no result yet: in a lane, in a stream, taken.
void FileHashing::giveUp(Lanes &lanes, Streams &streams, const int held[2])
{
    const auto fail = [this](int index, qint64 counted) {
        if (index < 0 || index >= entries.size() || fileDone[size_t(index)])
            return;
        File &file = entries[index];
        file.state = State::OutOfMemory;
        file.digest.clear();
        file.fromCache = false;
        bytesDone += qMax<qint64>(0, file.size - counted);
        fileFinished(index);
    };
    for (int l = 0; l < lanes.count; ++l)
        fail(lanes.waiting[l].index, 0);
    lanes.count = 0;
    for (Streams::Stream &stream : streams.lanes) {
        if (stream.index < 0)
            continue;
        fail(stream.index, stream.read);
        stream.index = -1;
        stream.reader.reset();
        stream.pending = 0;
        stream.read = 0;
        stream.atEnd = false;
    }
    streams.count = 0;
    fail(held[0], 0);
    fail(held[1], 0);
}

// True when the file is to be hashed as it is read; false when it waits, read whole, for the
// lanes, or has its result already.
bool FileHashing::streamOrQueue(File &file, int index, bool opened, FileReader &in, Lanes &lanes)
{
    const FileIdentity &identity = in.identity();
    if (!opened || file.fromCache || !identity.valid || !identity.regularFile
        || identity.size > laneFileLimit || FileUtils::stopRequested())
        return true;
    Lanes::Waiting &lane = lanes.waiting[lanes.count];
    bool stream = false;
    const bool handled = guarded(file, [&] {
        lane.hashedAt = FileIdentity::now();
        switch (in.readWhole(&lane.content, laneFileLimit, &lane.size)) {
        case FileReader::Larger:
            stream = true;
            return true;
        case FileReader::Failed:
            file.digest.clear();
            judge(file);
            settle(file, 0);
            return false;
        case FileReader::Read:
            break;
        }
        lane.index = index;
        lane.identity = identity;
        lane.unchanged = in.unchanged(lane.size);
        ++lanes.count;
        return true;
    });
    // A failed read, or one that threw: the file has its result.
    if (!handled)
        fileFinished(index);
    return stream;
}

void FileHashing::hashLanes(Lanes &lanes)
{
    if (lanes.count == 0)
        return;
    Md5Lanes::Message messages[Md5Lanes::width];
    for (int l = 0; l < lanes.count; ++l)
        messages[l] = {lanes.waiting[l].content.data(), lanes.waiting[l].size};
    unsigned char digests[Md5Lanes::width][16];
    Md5Lanes::hash(messages, lanes.count, digests);
    const bool stopping = FileUtils::stopRequested();
    for (int l = 0; l < lanes.count; ++l) {
        const Lanes::Waiting &lane = lanes.waiting[l];
        File &file = entries[lane.index];
        if (stopping) {
            file.state = State::Stopped;
        } else {
            guarded(file, [&] {
                file.digest = hexText(digests[l]);
                bytesDone += lane.size;
                if (progress)
                    progress(lane.size);
                if (cache && lane.unchanged)
                    cache->store(file.path, lane.identity, file.digest, lane.hashedAt);
                judge(file);
                settle(file, lane.size);
                return true;
            });
        }
        fileFinished(lane.index);
    }
    lanes.count = 0;
}

// A file to be read and hashed goes into a free lane of the streams, with its reader.
bool FileHashing::joinStreams(const File &file, int index, bool opened,
                              std::unique_ptr<FileReader> &reader, Streams &streams)
{
    if (!opened || file.fromCache || !reader->identity().regularFile || FileUtils::stopRequested())
        return false;
    int lane = 0;
    while (streams.lanes[lane].index >= 0)
        ++lane;
    Streams::Stream &stream = streams.lanes[lane];
    stream.index = index;
    stream.reader = std::move(reader);
    stream.hashedAt = FileIdentity::now();
    streams.md5.restart(lane);
    ++streams.count;
    return true;
}

// Until a lane is free (every lane's file done, with `all`): each file's next chunk read, then as
// many blocks of each hashed together as every lane has.
void FileHashing::hashStreams(Streams &streams, bool all)
{
    while (streams.count > 0 && (all || streams.count == Md5Lanes::Stream::width)) {
        const bool stopping = FileUtils::stopRequested();
        for (int l = 0; l < Md5Lanes::Stream::width; ++l) {
            Streams::Stream &stream = streams.lanes[l];
            if (stream.index < 0)
                continue;
            File &file = entries[stream.index];
            if (stopping) {
                file.state = State::Stopped;
                endStream(streams, l);
                continue;
            }
            const bool reading = guarded(file, [&] {
                if (stream.atEnd || stream.pending == streamChunk)
                    return true;
                stream.buffer.resize(size_t(streamChunk));
                const qint64 wanted = streamChunk - stream.pending;
                const qint64 got
                        = stream.reader->read(stream.buffer.data() + stream.pending, wanted);
                if (got < 0) {
                    file.digest.clear();
                    judge(file);
                    settle(file, stream.read);
                    return false;
                }
                // read() comes back short only at the end, also where the system reads short.
                stream.atEnd = got < wanted;
                stream.pending += got;
                stream.read += got;
                bytesDone += got;
                if (progress)
                    progress(got);
                return true;
            });
            if (!reading) {
                endStream(streams, l);
            } else if (stream.atEnd && stream.pending < 64) {
                // What is left is less than a block: the file's digest.
                guarded(file, [&] {
                    unsigned char digest[16];
                    streams.md5.finish(l, stream.buffer.data(), stream.pending, stream.read,
                                       digest);
                    file.digest = hexText(digest);
                    if (cache && stream.reader->unchanged(stream.read))
                        cache->store(file.path, stream.reader->identity(), file.digest,
                                     stream.hashedAt);
                    judge(file);
                    settle(file, stream.read);
                    return true;
                });
                endStream(streams, l);
            }
        }
        if (streams.count == 0)
            break;
        qint64 blocks = streamChunk / 64;
        const char *some = nullptr;
        for (const Streams::Stream &stream : streams.lanes) {
            if (stream.index >= 0) {
                blocks = qMin(blocks, stream.pending / 64);
                some = stream.buffer.data();
            }
        }
        const char *data[Md5Lanes::Stream::width];
        for (int l = 0; l < Md5Lanes::Stream::width; ++l)
            data[l] = streams.lanes[l].index >= 0 ? streams.lanes[l].buffer.data() : some;
        streams.md5.add(data, blocks);
        for (Streams::Stream &stream : streams.lanes) {
            if (stream.index < 0)
                continue;
            // Only next to a file's end does a lane keep some of its chunk for the next round.
            stream.pending -= blocks * 64;
            if (stream.pending > 0)
                std::memmove(stream.buffer.data(), stream.buffer.data() + blocks * 64,
                             size_t(stream.pending));
        }
    }
}

void FileHashing::endStream(Streams &streams, int lane)
{
    Streams::Stream &stream = streams.lanes[lane];
    const int index = stream.index;
    stream.index = -1;
    stream.reader.reset();
    stream.pending = 0;
    stream.read = 0;
    stream.atEnd = false;
    --streams.count;
    fileFinished(index);
}

void FileHashing::fileFinished(int index)
{
    if (finished)
        finished(index);
    fileDone[size_t(index)] = true;
    report(false);
}

// Whoever holds the turn reports every file that is done, in order, while the others go on
// hashing; the last worker waits for its turn, so nothing is left over.
void FileHashing::report(bool wait)
{
    if (!results)
        return;
    if (wait)
        reportMutex.lock();
    else if (!reportMutex.tryLock())
        return;
    const int from = reported;
    while (reported < entries.size() && fileDone[size_t(reported)])
        ++reported;
    if (reported > from) {
        try {
            results(from, reported);
        } catch (...) {
            // A handler that failed changes no result, and the check still ends.
        }
    }
    reportMutex.unlock();
}

void FileHashing::finish()
{
    try {
        if (whenDone)
            whenDone();
    } catch (...) {
        // The future ends all the same: a window waits on it.
    }
    done.reportFinished();
}

bool FileHashing::openFile(File &file, FileReader &in, const std::function<void()> &beforeWaiting)
{
    if (file.state == State::Refused) {
        if (!sizedUpFront)
            sizeFile(file, 0);
        return false;
    }
    if (FileUtils::stopRequested())
        return false;
    switch (in.open(file.path, beforeWaiting)) {
    case FileReader::Missing:
        file.state = State::Missing;
        if (!sizedUpFront)
            sizeFile(file, 0);
        return false;
    case FileReader::Unreadable:
        file.state = State::Unreadable;
        if (!sizedUpFront)
            sizeFile(file, 0);
        return false;
    case FileReader::Ok:
        break;
    }
    if (!sizedUpFront)
        sizeFile(file, in.identity().size);
    if (cache) {
        file.digest = cache->lookup(file.path, in.identity());
        file.fromCache = !file.digest.isEmpty();
    }
    return true;
}

void FileHashing::checkFile(File &file, FileReader &in, bool opened, std::vector<char> &buffer)
{
    if (file.state == State::Refused || (!opened && FileUtils::stopRequested()))
        return;
    qint64 counted = 0;
    if (opened) {
        if (!file.fromCache) {
            const qint64 hashedAt = FileIdentity::now();
            const auto heard = [this, &counted](qint64 chunk) {
                counted += chunk;
                bytesDone += chunk;
                if (progress)
                    progress(chunk);
            };
            file.digest = in.md5Hex(&buffer, heard);
            if (FileUtils::stopRequested()) {
                file.digest.clear();
                file.state = State::Stopped;
                return;
            }
            // Kept only when nothing changed the file while it was read.
            if (cache && !file.digest.isEmpty() && in.unchanged(counted))
                cache->store(file.path, in.identity(), file.digest, hashedAt);
        }
        judge(file);
    }
    settle(file, counted);
}

void FileHashing::judge(File &file)
{
    file.state = file.digest.isEmpty() ? State::Unreadable : State::Hashed;
}

// The bytes not heard as read count as done; a file that could not be read counts as empty.
void FileHashing::settle(File &file, qint64 counted)
{
    bytesDone += qMax<qint64>(0, file.size - counted);
    if (file.state == State::Missing || file.state == State::Unreadable) {
        // Counts as empty content.
        file.digest = FileUtils::unreadableMd5();
    }
}

void FileHashing::sizeFile(File &file, qint64 size)
{
    if (file.state != State::Refused) {
        file.size = size;
        bytesTotal += size;
    }
    ++filesSized;
}

template<typename F>
bool FileHashing::guarded(File &file, F step)
{
    try {
        return step();
    } catch (const std::bad_alloc &) {
        // The check could not do the file; it goes on and still ends.
        file.state = State::OutOfMemory;
        file.digest.clear();
        file.fromCache = false;
        return false;
    } catch (...) {
        // A progress handler that threw: the file failed.
        file.state = State::Failed;
        file.digest = FileUtils::unreadableMd5();
        file.fromCache = false;
        return false;
    }
}
