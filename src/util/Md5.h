#ifndef MD5_H
#define MD5_H

#include <QByteArray>
#include <QtGlobal>

// MD5 of a stream of bytes, hashed by the fastest implementation at hand: libcrypto's (with its
// assembler) on Linux, the system's CNG on Windows, Qt's own elsewhere. One object a digest,
// used by one thread at a time.
class Md5
{
public:
    Md5();
    ~Md5();

    void addData(const char *data, qint64 size);
    // The 16 bytes of the digest; the object is spent afterwards.
    QByteArray result();

private:
    Q_DISABLE_COPY(Md5)
    struct Private;
    Private *d;
};

#endif // MD5_H
