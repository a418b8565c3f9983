#include "DigestCache.h"

#include "util/Md5.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QScopeGuard>
#include <QStandardPaths>

#include <cstdlib>

namespace {

// Marks the file as this program's; anything else found under the name is not read.
const QLatin1String formatName("corvin-md5-cache");
const int formatVersion = 1;

} // namespace

DigestCache::DigestCache(const QString &fileName) : path(fileName) { }

DigestCache &DigestCache::shared()
{
    static DigestCache *const cache = [] {
        auto *made = new DigestCache(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
                                     + QStringLiteral("/md5-cache.json"));
        // Runs before whatever was made earlier is destroyed, the thread pool included.
        std::atexit(waitForSaves);
        return made;
    }();
    return *cache;
}

void DigestCache::waitForSaves()
{
    DigestCache &cache = shared();
    QMutexLocker locker(&cache.mutex);
    while (cache.savesExpected > 0)
        cache.saved.wait(&cache.mutex);
}

void DigestCache::expectSave()
{
    QMutexLocker locker(&mutex);
    ++savesExpected;
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
        entry.fromFile = true;
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
    entry.fromFile = false;
    dirty = true;
}

namespace {

void appendJsonString(QByteArray *out, const QString &text)
{
    out->append('"');
    for (const char c : text.toUtf8()) {
        if (c == '"' || c == '\\') {
            out->append('\\').append(c);
        } else if (uchar(c) < 0x20) {
            static const char hex[] = "0123456789abcdef";
            out->append("\\u00").append(hex[uchar(c) >> 4]).append(hex[uchar(c) & 15]);
        } else {
            out->append(c);
        }
    }
    out->append('"');
}

} // namespace

bool DigestCache::save()
{
    QMutexLocker locker(&mutex);
    const auto announced = qScopeGuard([this] {
        if (savesExpected > 0 && --savesExpected == 0)
            saved.wakeAll();
    });
    if (!loaded)
        load();
    // What the file brought along is looked at once; what this run stored was there.
    for (auto it = entries.begin(); it != entries.end();) {
        if (!it->fromFile) {
            ++it;
        } else if (QFileInfo::exists(it.key())) {
            it->fromFile = false;
            ++it;
        } else {
            it = entries.erase(it);
            dirty = true;
        }
    }
    if (!dirty)
        return true;

    // Written out by hand: building a QJsonObject of many thousand entries takes quadratic time.
    QByteArray json;
    json.reserve(entries.size() * 200 + 100);
    json.append("{\"format\":");
    appendJsonString(&json, formatName);
    json.append(",\"version\":").append(QByteArray::number(formatVersion)).append(",\"files\":{");
    bool first = true;
    for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
        const FileIdentity &id = it->identity;
        if (!first)
            json.append(',');
        first = false;
        appendJsonString(&json, it.key());
        json.append(":[");
        appendJsonString(&json, id.volume);
        json.append(',');
        appendJsonString(&json, id.fileId);
        for (const qint64 number : {id.size, id.modified, id.changed})
            json.append(",\"").append(QByteArray::number(number)).append('"');
        json.append(',');
        appendJsonString(&json, it->digest);
        json.append(']');
    }
    json.append("}}");
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(json) < 0 || !file.commit())
        return false;
    dirty = false;
    return true;
}
