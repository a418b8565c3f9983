#include "FileReader.h"

#include "util/FileUtils.h"
#include "util/Md5.h"

FileReader::ReadFunction FileReader::readFunction = nullptr;

void FileReader::setReadFunction(ReadFunction function)
{
    readFunction = function;
}

qint64 FileReader::readSome(char *data, qint64 size)
{
    const qint64 got = readFunction ? readFunction(*this, data, size) : systemRead(data, size);
    if (got > 0)
        position += got;
    return got;
}

qint64 FileReader::read(char *data, qint64 size)
{
    qint64 have = 0;
    while (have < size) {
        const qint64 wanted = size - have;
        const qint64 got = readSome(data + have, wanted);
        if (got < 0)
            return -1;
        have += got;
        // A short read past the size the file was opened with saves a read of 0 bytes for each
        // small file; earlier it only means the file system gives less at a time.
        if (got == 0 || (opened.regularFile && got < wanted && position >= opened.size))
            break;
    }
    return have;
}

FileReader::Whole FileReader::readWhole(std::vector<char> *buffer, qint64 limit, qint64 *size)
{
    // One byte more than the limit tells a file that grew past it since it was opened. The
    // buffer only grows: clearing it anew for each small file would cost more than reading.
    const size_t room = size_t(limit) + 1;
    if (buffer->size() < room)
        buffer->resize(room);
    const qint64 have = read(buffer->data(), qint64(room));
    if (have < 0)
        return Failed;
    if (have > limit)
        return rewind() ? Larger : Failed;
    *size = have;
    return Read;
}

QString FileReader::md5Hex(std::vector<char> *buffer, const std::function<void(qint64)> &progress)
{
    if (buffer->size() < chunkSize)
        buffer->resize(chunkSize);
    Md5 md5;
    for (;;) {
        if (FileUtils::stopRequested())
            return QString();
        const qint64 got = read(buffer->data(), qint64(chunkSize));
        if (got < 0)
            return QString();
        if (got == 0)
            break;
        md5.addData(buffer->data(), got);
        if (progress)
            progress(got);
        if (size_t(got) < chunkSize)
            break;
    }
    return QString::fromLatin1(md5.result().toHex());
}
