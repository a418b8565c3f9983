#ifndef MD5_H
#define MD5_H

#include <QByteArray>
#include <QString>
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
    // The 16 bytes of the digest; the object is spent afterwards. Empty when the system's
    // MD5 failed.
    QByteArray result();

    // Whether text is a digest as written out: 32 hexadecimal digits, in either case.
    static bool isDigestText(const QString &text);
    // Two digest texts that name the same digest. Anything else than a digest, an empty text
    // included, matches nothing: a failed hash must never pass as the one announced.
    static bool sameDigest(const QString &a, const QString &b);

private:
    Q_DISABLE_COPY(Md5)
    struct Private;
    Private *d;
};

#endif // MD5_H
