#ifndef DIGESTCACHE_H
#define DIGESTCACHE_H

#include "util/FileIdentity.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <QWaitCondition>

// The MD5 digests of files hashed before, each kept with the file's identity: a file whose
// identity is unchanged need not be read again. Only digests are kept, never a verdict: the
// verification still compares each with the digest the service announces. Safe to use from many
// threads. The file is read on first use; a damaged or foreign one is ignored and rewritten.
class DigestCache
{
public:
    explicit DigestCache(const QString &fileName);

    // The user's cache of the verification, in the per-user cache folder. Never destroyed, so
    // that a task still using it at the process's end finds it whole; the process's end (exit()
    // included) waits for the saves announced by expectSave().
    static DigestCache &shared();

    // The digest stored for the file at path with this identity; "" when there is none.
    QString lookup(const QString &path, const FileIdentity &identity);
    // Keeps the digest of a file hashed from `hashedAt` on (FileIdentity::now()). A file whose
    // modification or change time lies within the settle window of that moment may have been
    // written in the same clock tick as it was read, unseen by its identity (FAT keeps 2 s, NTFS
    // may update the times only when the writer closes the file): its digest is not kept.
    void store(const QString &path, const FileIdentity &identity, const QString &digest,
               qint64 hashedAt);
    // 2 s unless set; the tests that hash files they have only just written set less.
    void setSettleWindowMs(qint64 ms);
    // Writes the file atomically when anything changed, without the entries of files that are
    // gone. False when it could not be written.
    bool save();
    // Announces a save() to come from this thread, for a caller that lets others go on first
    // (one of them may end the process): the end waits for it. Each call is followed by one
    // save().
    void expectSave();

    QString fileName() const { return path; }
    // Forgets what it holds; the file is read again on next use.
    void reload();

private:
    struct Entry
    {
        FileIdentity identity;
        QString digest;
        bool fromFile = false; // read from the file and not yet seen to exist
    };

    void load();
    static void waitForSaves();

    const QString path;
    QMutex mutex;
    QHash<QString, Entry> entries;
    bool loaded = false;
    bool dirty = false;
    qint64 settleWindowMs = 2000;
    int savesExpected = 0;
    QWaitCondition saved;
};

#endif // DIGESTCACHE_H
