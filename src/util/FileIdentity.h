#ifndef FILEIDENTITY_H
#define FILEIDENTITY_H

#include <QString>
#include <QtGlobal>

class QFile;

// What says that a file is still the one that was hashed: its volume and file id (inode), its
// size, and its modification and change times in full precision. Writing to a file changes at
// least its change time, also when the modification time is put back afterwards; a file renamed
// over it has another id.
struct FileIdentity
{
    QString volume;
    QString fileId;
    qint64 size = -1;
    qint64 modified = 0; // nanoseconds (Windows: 100 ns units)
    qint64 changed = 0;
    bool valid = false;
    bool regularFile = false; // not a folder or a device

    // Of an open file; not valid when the system does not tell.
    static FileIdentity of(const QFile &file);
    // Of an open file descriptor (of QFile::handle() too).
    static FileIdentity ofDescriptor(int fd);
    // The time now, in the unit of `modified` and `changed`.
    static qint64 now();
    static qint64 unitsPerSecond();

    bool operator==(const FileIdentity &other) const
    {
        return valid && other.valid && volume == other.volume && fileId == other.fileId
                && size == other.size && modified == other.modified && changed == other.changed;
    }
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

#endif // FILEIDENTITY_H
