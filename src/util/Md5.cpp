#include "Md5.h"

#include <QString>

#if defined(CORVIN_MD5_LIBCRYPTO)
#include <openssl/evp.h>
#elif defined(Q_OS_WIN)
#include <windows.h>

#include <bcrypt.h>
#else
#include <QCryptographicHash>
#endif

#if defined(CORVIN_MD5_LIBCRYPTO)

namespace {

// Fetched once: OpenSSL 3 would look the algorithm up in its provider store at every digest,
// which costs more than hashing a small file.
const EVP_MD *md5Algorithm()
{
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    static const EVP_MD *const algorithm = [] {
        const EVP_MD *fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
        return fetched ? fetched : EVP_md5();
    }();
    return algorithm;
#else
    return EVP_md5();
#endif
}

} // namespace

struct Md5::Private
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
};

Md5::Md5() : d(new Private)
{
    EVP_DigestInit_ex(d->context, md5Algorithm(), nullptr);
}

Md5::~Md5()
{
    EVP_MD_CTX_free(d->context);
    delete d;
}

void Md5::addData(const char *data, qint64 size)
{
    EVP_DigestUpdate(d->context, data, size_t(size));
}

QByteArray Md5::result()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(d->context, digest, &length);
    return QByteArray(reinterpret_cast<const char *>(digest), int(length));
}

#elif defined(Q_OS_WIN)

namespace {

// One provider for the process; CNG lets every thread make its hash objects from it.
BCRYPT_ALG_HANDLE md5Provider()
{
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_MD5_ALGORITHM, nullptr, 0)))
            handle = nullptr;
        return handle;
    }();
    return provider;
}

} // namespace

struct Md5::Private
{
    BCRYPT_HASH_HANDLE hash = nullptr;
};

Md5::Md5() : d(new Private)
{
    if (BCRYPT_ALG_HANDLE provider = md5Provider())
        BCryptCreateHash(provider, &d->hash, nullptr, 0, nullptr, 0, 0);
}

Md5::~Md5()
{
    if (d->hash)
        BCryptDestroyHash(d->hash);
    delete d;
}

void Md5::addData(const char *data, qint64 size)
{
    // CNG takes at most 4 GiB a call; the callers hand over 1 MiB at a time.
    while (d->hash && size > 0) {
        const ULONG chunk = ULONG(qMin<qint64>(size, 1 << 30));
        BCryptHashData(d->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(data)), chunk, 0);
        data += chunk;
        size -= chunk;
    }
}

QByteArray Md5::result()
{
    QByteArray digest(16, '\0');
    if (!d->hash
        || !BCRYPT_SUCCESS(BCryptFinishHash(d->hash, reinterpret_cast<PUCHAR>(digest.data()),
                                            ULONG(digest.size()), 0)))
        return QByteArray();
    return digest;
}

#else

struct Md5::Private
{
    QCryptographicHash hash {QCryptographicHash::Md5};
};

Md5::Md5() : d(new Private) { }

Md5::~Md5()
{
    delete d;
}

void Md5::addData(const char *data, qint64 size)
{
    while (size > 0) {
        const int chunk = int(qMin<qint64>(size, 1 << 30));
        d->hash.addData(data, chunk);
        data += chunk;
        size -= chunk;
    }
}

QByteArray Md5::result()
{
    return d->hash.result();
}

#endif

bool Md5::isDigestText(const QString &text)
{
    if (text.size() != 32)
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return true;
}

bool Md5::sameDigest(const QString &a, const QString &b)
{
    return isDigestText(a) && isDigestText(b) && a.compare(b, Qt::CaseInsensitive) == 0;
}
