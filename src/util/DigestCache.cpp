#include "DigestCache.h"

#include "util/Md5.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// Marks the file as this program's; anything else found under the name is not read.
const QLatin1String formatName("corvin-md5-cache");
const int formatVersion = 1;

} // namespace

DigestCache::DigestCache(const QString &fileName) : path(fileName) { }

DigestCache &DigestCache::shared()
{
    static DigestCache cache(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
                             + QStringLiteral("/md5-cache.json"));
    return cache;
}

void DigestCache::load()
{
    loaded = true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    if (root.value(QLatin1String("format")).toString() != formatName
        || root.value(QLatin1String("version")).toInt() != formatVersion)
        return;
    // Times and ids as text: JSON numbers would lose their last digits.
    const QJsonObject files = root.value(QLatin1String("files")).toObject();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QJsonArray a = it.value().toArray();
        Entry entry;
        entry.identity.volume = a.at(0).toString();
        entry.identity.fileId = a.at(1).toString();
        bool sizeOk = false;
        bool modifiedOk = false;
        bool changedOk = false;
        entry.identity.size = a.at(2).toString().toLongLong(&sizeOk);
        entry.identity.modified = a.at(3).toString().toLongLong(&modifiedOk);
        entry.identity.changed = a.at(4).toString().toLongLong(&changedOk);
        entry.digest = a.at(5).toString();
        entry.identity.valid = a.size() == 6 && sizeOk && modifiedOk && changedOk
                && !entry.identity.volume.isEmpty() && !entry.identity.fileId.isEmpty()
                && Md5::isDigestText(entry.digest);
        if (entry.identity.valid)
            entries.insert(it.key(), entry);
    }
}

void DigestCache::reload()
{
    QMutexLocker locker(&mutex);
    entries.clear();
    loaded = false;
    dirty = false;
}

QString DigestCache::lookup(const QString &file, const FileIdentity &identity)
{
    QMutexLocker locker(&mutex);
    if (!loaded)
        load();
    const auto it = entries.constFind(file);
    return it != entries.constEnd() && it->identity == identity ? it->digest : QString();
}

void DigestCache::setSettleWindowMs(qint64 ms)
{
    QMutexLocker locker(&mutex);
    settleWindowMs = ms;
}

void DigestCache::store(const QString &file, const FileIdentity &identity, const QString &digest,
                        qint64 hashedAt)
{
    if (!identity.valid || !Md5::isDigestText(digest))
        return;
    QMutexLocker locker(&mutex);
    const qint64 settled = hashedAt - settleWindowMs * FileIdentity::unitsPerSecond() / 1000;
    if (identity.modified >= settled || identity.changed >= settled)
        return;
    if (!loaded)
        load();
    Entry &entry = entries[file];
    if (entry.identity == identity && entry.digest == digest)
        return;
    entry.identity = identity;
    entry.digest = digest;
    dirty = true;
}

bool DigestCache::save()
{
    QMutexLocker locker(&mutex);
    if (!loaded)
        load();
    for (auto it = entries.begin(); it != entries.end();) {
        if (QFileInfo::exists(it.key())) {
            ++it;
        } else {
            it = entries.erase(it);
            dirty = true;
        }
    }
    if (!dirty)
        return true;

    QJsonObject files;
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        const FileIdentity &id = it->identity;
        files.insert(it.key(),
                     QJsonArray {id.volume, id.fileId, QString::number(id.size),
                                 QString::number(id.modified), QString::number(id.changed),
                                 it->digest});
    }
    const QJsonObject root {{QStringLiteral("format"), formatName},
                            {QStringLiteral("version"), formatVersion},
                            {QStringLiteral("files"), files}};
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(root).toJson(QJsonDocument::Compact)) < 0 || !file.commit())
        return false;
    dirty = false;
    return true;
}
