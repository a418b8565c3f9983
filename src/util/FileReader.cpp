#include "FileReader.h"

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
