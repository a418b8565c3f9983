#ifndef FILEREADER_H
#define FILEREADER_H

#include "util/FileIdentity.h"

#include <QString>
#include <QtGlobal>

#include <functional>
#include <vector>

class QFile;

// One file opened to be hashed: its identity as it was opened, then its MD5, with as few system
// calls as the platform allows (a web-style courseware has tens of thousands of small files).
// One object a file, used by one thread.
class FileReader
{
public:
    enum Opened { Ok, Missing, Unreadable };

    FileReader() = default;
    ~FileReader();

    // beforeWaiting is called before an open that may wait (a pipe waits for its writer); a
    // plain file opens at once, without it.
    Opened open(const QString &path, const std::function<void()> &beforeWaiting = nullptr);
    // Of the open file, taken when it was opened.
    const FileIdentity &identity() const { return opened; }
    // Has the system read up to `bytes` of the file ahead, while the caller does other work.
    void readAhead(qint64 bytes);
    // Whether files not being read yet are worth a look ahead here: not on Windows, which reads
    // ahead on its own, and where a second open costs a scan by the virus checker.
    static bool readsAhead();
    // Opens a plain file only to have it read ahead, never waiting; false for anything else.
    bool openToReadAhead(const QString &path);
    // Whether the file is still as it was opened, once `bytes` of it have been read: a digest of
    // fewer bytes than the size it was opened with (a read cut short) is never to be kept.
    bool unchanged(qint64 bytes);
    // The MD5 of the whole content as 32 lower-case hex digits; "" when a read fails or a stop
    // was requested. `progress` hears each chunk's size; `buffer` is grown to the chunk size.
    QString md5Hex(std::vector<char> *buffer, const std::function<void(qint64)> &progress);

    // Up to `size` bytes of the file, fewer only at its end; -1 when a read fails. A read may come
    // back short mid-file (FUSE, network shares): only a read of 0 bytes, or a short one once the
    // size the file was opened with is read, is the end.
    qint64 read(char *data, qint64 size);

    enum Whole { Read, Larger, Failed };
    // Reads the whole content to the start of *buffer, *size bytes, when it holds at most
    // `limit` bytes. Larger: the file is at its start again, for md5Hex. Failed: a read failed.
    Whole readWhole(std::vector<char> *buffer, qint64 limit, qint64 *size);

    // One read of the system's: up to `size` bytes, 0 at the end, -1 on failure.
    qint64 systemRead(char *data, qint64 size);
    // Every reader's reads go through `function` when set, which calls systemRead() itself: the
    // tests' file systems that read short. Set while no reader reads.
    using ReadFunction = qint64 (*)(FileReader &reader, char *data, qint64 size);
    static void setReadFunction(ReadFunction function);

private:
    Q_DISABLE_COPY(FileReader)

    qint64 readSome(char *data, qint64 size);
    bool rewind();

    static const size_t chunkSize;
    static ReadFunction readFunction;

    FileIdentity opened;
    qint64 position = 0; // bytes read since the start
    int fd = -1;
    QFile *file = nullptr;
};

#endif // FILEREADER_H
