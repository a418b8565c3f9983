#include "FileReader.h"

#include "util/FileUtils.h"

#include <QFile>
#include <QFileInfo>

FileReader::~FileReader()
{
    delete file;
}

FileReader::Opened FileReader::open(const QString &path)
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

// NTFS may bring the times up to date only when a writer closes the file; a changed size at
// least shows an append that went on while the file was read.
bool FileReader::unchanged()
{
    return opened.valid && FileIdentity::of(*file) == opened;
}

QString FileReader::md5Hex(std::vector<char> *buffer, const std::function<void(qint64)> &progress)
{
    return FileUtils::md5Hex(file, progress, buffer);
}

qint64 FileReader::readSome(char *data, qint64 size)
{
    return file->read(data, size);
}

bool FileReader::rewind()
{
    return file->seek(0);
}
