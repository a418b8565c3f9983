#include "FileReader.h"

#include "util/FileUtils.h"
#include "util/Md5.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A chunk the hash reads back from the processor's cache rather than from memory (measured: a
// quarter more throughput than 1 MiB on warm files, and more from a cold disk too); the system's
// read-ahead keeps the disk busy between two reads.
constexpr size_t chunkSize = 256 * 1024;
} // namespace

FileReader::~FileReader()
{
    if (fd >= 0)
        ::close(fd);
}

FileReader::Opened FileReader::open(const QString &path)
{
    fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? Missing : Unreadable;
    opened = FileIdentity::ofDescriptor(fd);
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

// A write while the file is read changes its change time at once, so the identity it was opened
// with never matches again and nothing kept under it is served later: no need to look again.
bool FileReader::unchanged()
{
    return opened.valid;
}

QString FileReader::md5Hex(std::vector<char> *buffer, const std::function<void(qint64)> &progress)
{
    if (buffer->size() < chunkSize)
        buffer->resize(chunkSize);
    Md5 md5;
    for (;;) {
        if (FileUtils::stopRequested())
            return QString();
        const ssize_t got = ::read(fd, buffer->data(), chunkSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return QString();
        if (got == 0)
            break;
        md5.addData(buffer->data(), got);
        if (progress)
            progress(got);
        // A regular file reads short only at its end: no further call needed to learn it.
        if (opened.regularFile && size_t(got) < chunkSize)
            break;
    }
    return QString::fromLatin1(md5.result().toHex());
}

qint64 FileReader::readSome(char *data, qint64 size)
{
    for (;;) {
        const ssize_t got = ::read(fd, data, size_t(size));
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool FileReader::rewind()
{
    return ::lseek(fd, 0, SEEK_SET) == 0;
}
