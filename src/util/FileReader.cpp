#include "FileReader.h"

qint64 FileReader::read(char *data, qint64 size)
{
    qint64 have = 0;
    while (have < size) {
        const qint64 wanted = size - have;
        const qint64 got = readSome(data + have, wanted);
        if (got < 0)
            return -1;
        have += got;
        // A regular file reads short only at its end.
        if (got == 0 || (opened.regularFile && got < wanted))
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
