#ifndef DIGESTCACHE_H
#define DIGESTCACHE_H

#include "util/FileIdentity.h"

#include <QHash>
#include <QMutex>
#include <QString>

// The MD5 digests of files hashed before, each kept with the file's identity: a file whose
// identity is unchanged need not be read again. Only digests are kept, never a verdict: the
// verification still compares each with the digest the service announces. Safe to use from many
// threads. The file is read on first use; a damaged or foreign one is ignored and rewritten.
class DigestCache
{
public:
    explicit DigestCache(const QString &fileName);

    // The user's cache of the verification, in the per-user cache folder.
    static DigestCache &shared();

    // The digest stored for the file at path with this identity; "" when there is none.
    QString lookup(const QString &path, const FileIdentity &identity);
    void store(const QString &path, const FileIdentity &identity, const QString &digest);
    // Writes the file atomically when anything changed, without the entries of files that are
    // gone. False when it could not be written.
    bool save();

    QString fileName() const { return path; }
    // Forgets what it holds; the file is read again on next use.
    void reload();

private:
    struct Entry
    {
        FileIdentity identity;
        QString digest;
    };

    void load();

    const QString path;
    QMutex mutex;
    QHash<QString, Entry> entries;
    bool loaded = false;
    bool dirty = false;
};

#endif // DIGESTCACHE_H
