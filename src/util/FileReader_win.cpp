#include "FileReader.h"

#include <QFile>
#include <QFileInfo>

// As FileUtils::md5Hex reads: few calls, each ReadFile a block of its own.
const size_t FileReader::chunkSize = 1024 * 1024;

FileReader::~FileReader()
{
    delete file;
}

// Opening a file on Windows does not wait for a writer: beforeWaiting is not needed.
FileReader::Opened FileReader::open(const QString &path, const std::function<void()> &)
{
    file = new QFile(path);
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QFileInfo::exists(path) ? Unreadable : Missing;
    opened = FileIdentity::of(*file);
    return Ok;
}

void FileReader::readAhead(qint64 bytes)
{
    // The system's own read-ahead on a file opened for reading is left to do it.
    Q_UNUSED(bytes)
}

bool FileReader::readsAhead()
{
    return false;
}

bool FileReader::openToReadAhead(const QString &path)
{
    Q_UNUSED(path)
    return false;
}

// NTFS may bring the times up to date only when a writer closes the file; a changed size at
// least shows an append that went on while the file was read.
bool FileReader::unchanged(qint64 bytes)
{
    return opened.valid && bytes == opened.size && FileIdentity::of(*file) == opened;
}

qint64 FileReader::systemRead(char *data, qint64 size)
{
    return file->read(data, size);
}

bool FileReader::rewind()
{
    position = 0;
    return file->seek(0);
}
