#include "FileUtils.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <vector>

namespace {

// Big enough for full disk throughput, small enough that memory stays flat for any file size.
constexpr qint64 Md5ChunkSize = 1024 * 1024;

} // namespace

FileUtils::FileUtils() : QObject(nullptr) { }

QString FileUtils::applicationFolder()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath();
}

QString FileUtils::resolvePath(const QString &path)
{
    if (QDir::isAbsolutePath(path))
        return path;
    return applicationFolder() + QLatin1Char('/') + path;
}

bool FileUtils::fileExists(const QString &path)
{
    return QFileInfo(resolvePath(path)).exists();
}

bool FileUtils::exists(QString fileName)
{
    return fileExists(resolvePath(fileName));
}

bool FileUtils::makeDir(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QString resolved = resolvePath(path);
    QDir dir;
    if (dir.exists(resolved))
        return true;
    return dir.mkdir(resolved);
}

bool FileUtils::makePath(const QString &path)
{
    const QString resolved = resolvePath(path);
    if (QFileInfo(resolved).exists())
        return true;
    return QDir().mkpath(resolved);
}

bool FileUtils::copyFile(const QString &source, const QString &target)
{
    const QString resolvedSource = resolvePath(source);
    const QString resolvedTarget = resolvePath(target);
    if (!fileExists(resolvedSource))
        return false;

        // Paths that differ only in letter case name the same file only where the file system
        // ignores case; elsewhere they are two files and the copy has to happen.
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
    const Qt::CaseSensitivity sameFileCase = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sameFileCase = Qt::CaseSensitive;
#endif
    if (QString::compare(resolvedSource, resolvedTarget, sameFileCase) == 0)
        return true;

    if (!fileExists(resolvedTarget))
        makePath(QFileInfo(resolvedTarget).path());
    else
        QFile::remove(resolvedTarget);
    return QFile::copy(resolvedSource, resolvedTarget);
}

bool FileUtils::deleteDir(const QString &path)
{
    qDebug() << "FileUtils::deleteDir " << path;
    if (path.isEmpty())
        return false;

    QDir dir(path);
    if (!dir.exists())
        return true;

    dir.setFilter(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QFileInfoList entries = dir.entryInfoList();
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink()) {
            // Remove the link itself. Its target may lie outside the tree: never enter it and
            // never change its permissions (setPermissions would follow the link).
            qDebug() << " FileUtils::deleteDir : remove ++ " << entry.fileName();
            const QString linkPath = entry.absoluteFilePath();
            bool removed = QFile::remove(linkPath);
#ifdef Q_OS_WIN
            // Folder links and junctions go with RemoveDirectory, which leaves the target alone.
            if (!removed && entry.isDir())
                removed = QDir().rmdir(linkPath);
#endif
            qDebug() << " FileUtils::deleteDir : remove -- " << removed;
        } else if (entry.isFile()) {
            qDebug() << " FileUtils::deleteDir : remove ++ " << entry.fileName();
            QFile file(entry.absoluteFilePath());
            const bool writable = file.setPermissions(QFileDevice::WriteUser);
            qDebug() << " QFile : setPermissions -- " << writable;
            const bool removed = entry.dir().remove(entry.fileName());
            qDebug() << " FileUtils::deleteDir : remove -- " << removed;
        } else {
            deleteDir(entry.absoluteFilePath());
        }
    }
    // When the last entry was a folder, the inner call's rmpath has already taken this folder
    // (it was empty by then) and rmpath here fails on the missing path: gone is still success.
    const QString absolute = dir.absolutePath();
    const bool removed = dir.rmpath(absolute);
    return removed || !QFileInfo::exists(absolute);
}

QString FileUtils::getFileMd5(const QString &path)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    QFile file(path);
    // Unbuffered: the chunks go straight from read() into the hash without a second copy.
    if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        std::vector<char> buffer(static_cast<size_t>(Md5ChunkSize));
        for (;;) {
            const qint64 got = file.read(buffer.data(), Md5ChunkSize);
            if (got < 0) {
                // A read error halfway counts like a file that cannot be opened.
                hash.reset();
                break;
            }
            if (got == 0)
                break;
            hash.addData(buffer.data(), static_cast<int>(got));
        }
        file.close();
    }
    const QString hex = QString::fromLatin1(hash.result().toHex());
    qDebug() << path << hex;
    return hex;
}
