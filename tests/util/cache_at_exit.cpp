// Stores many digests in the shared cache, has the pool save them, and ends the process at once
// with exit(), as the preparation window does when the teacher starts the copy right after the
// check: the save must still be written whole. Prints the cache file's name.
#include "util/DigestCache.h"
#include "util/FileIdentity.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QThreadPool>
#include <QtConcurrent>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvin-cache-at-exit"));
    QStandardPaths::setTestModeEnabled(true);
    // Made on a pool thread, as the check makes it.
    QThreadPool::globalInstance();
    DigestCache &cache = *QtConcurrent::run([] { return &DigestCache::shared(); }).result();
    QFile::remove(cache.fileName());
    cache.setSettleWindowMs(0);
    const int count = std::atoi(argv[1]);
    FileIdentity identity;
    identity.volume = QStringLiteral("v");
    identity.modified = identity.changed = 1;
    identity.valid = identity.regularFile = true;
    for (int i = 0; i < count; ++i) {
        identity.fileId = QString::number(i);
        identity.size = i;
        cache.store(QStringLiteral("/courseware/%1.png").arg(i), identity,
                    QStringLiteral("0123456789abcdef0123456789abcdef"), FileIdentity::now());
    }
    std::printf("%s\n", cache.fileName().toUtf8().constData());
    std::fflush(stdout);
    cache.expectSave();
    QtConcurrent::run([&cache] { cache.save(); });
    std::exit(0);
}
