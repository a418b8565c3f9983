#include "FileReader.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A chunk the hash reads back from the processor's cache rather than from memory (measured: a
// quarter more throughput than 1 MiB on warm files, and more from a cold disk too); the system's
// read-ahead keeps the disk busy between two reads.
const size_t FileReader::chunkSize = 256 * 1024;

FileReader::~FileReader()
{
    if (fd >= 0)
        ::close(fd);
}

FileReader::Opened FileReader::open(const QString &path, const std::function<void()> &beforeWaiting)
{
    const QByteArray name = QFile::encodeName(path);
    // Without waiting first: a plain file opens as it would anyway, anything else is opened
    // again, the waiting way, once the caller has done what must not wait for it.
    fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? Missing : Unreadable;
    opened = FileIdentity::ofDescriptor(fd);
    if (opened.valid && !opened.regularFile) {
        ::close(fd);
        if (beforeWaiting)
            beforeWaiting();
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return errno == ENOENT || errno == ENOTDIR ? Missing : Unreadable;
        opened = FileIdentity::ofDescriptor(fd);
    }
    if (!opened.valid)
        return Unreadable;
    struct stat info;
    if (!opened.regularFile && (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)))
        return Unreadable;
    // Read ahead further for what takes more than a few reads.
    if (opened.size > qint64(chunkSize))
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return Ok;
}

void FileReader::readAhead(qint64 bytes)
{
    if (fd >= 0)
        ::posix_fadvise(fd, 0, bytes, POSIX_FADV_WILLNEED);
}

bool FileReader::readsAhead()
{
    return true;
}

bool FileReader::openToReadAhead(const QString &path)
{
    fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    opened = FileIdentity::ofDescriptor(fd);
    return opened.valid && opened.regularFile;
}

// A write while the file is read changes its change time at once, so the identity it was opened
// with never matches again and nothing kept under it is served later: no need to look again.
bool FileReader::unchanged(qint64 bytes)
{
    return opened.valid && bytes == opened.size;
}

qint64 FileReader::systemRead(char *data, qint64 size)
{
    for (;;) {
        const ssize_t got = ::read(fd, data, size_t(size));
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool FileReader::rewind()
{
    position = 0;
    return ::lseek(fd, 0, SEEK_SET) == 0;
}
