#include "FileUtils.h"

#include "util/FilePath.h"
#include "util/FileUtilsPlatform.h"
#include "util/Md5.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <vector>

namespace {

// Big enough for full disk throughput, small enough that memory stays flat for any file size.
constexpr qint64 Md5ChunkSize = 1024 * 1024;

std::atomic<bool> stopping {false};

} // namespace

FileUtils::FileUtils() : QObject(nullptr) { }

QString FileUtils::applicationFolder()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath();
}

QString FileUtils::resolvePath(const QString &path)
{
    return FilePath::resolved(path, applicationFolder());
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
    if (QString::compare(resolvedSource, resolvedTarget, FilePath::caseSensitivity()) == 0)
        return true;

    if (!fileExists(resolvedTarget)) {
        makePath(QFileInfo(resolvedTarget).path());
    } else {
        FileUtilsPlatform::makeReplaceable(resolvedTarget);
        QFile::remove(resolvedTarget);
    }
    return FileUtilsPlatform::copyToNewTarget(resolvedSource, resolvedTarget);
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
        if (FileUtilsPlatform::isLink(entry)) {
            qDebug() << " FileUtils::deleteDir : remove ++ " << entry.fileName();
            qDebug() << " FileUtils::deleteDir : remove -- "
                     << FileUtilsPlatform::removeLink(entry);
        } else if (entry.isFile() && FileUtilsPlatform::resolvesOutside(entry, path)) {
            // Left alone; the folder then stays and the result is false.
            qDebug() << " FileUtils::deleteDir : remove ++ " << entry.fileName();
            qDebug() << " FileUtils::deleteDir : remove -- " << false;
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

bool FileUtils::copyNewFile(const QString &source, const QString &target, FileError *error)
{
    FileError ignored;
    FileError &failure = error ? *error : ignored;
    failure = FileError();
    // Wine calls no progress routine for a small file, so a stop is also seen before the copy.
    if (stopping) {
        failure = FileError::stopped();
        return false;
    }
    return FileUtilsPlatform::copyNewFile(source, target, failure);
}

void FileUtils::requestStop()
{
    stopping = true;
}

bool FileUtils::stopRequested()
{
    return stopping;
}

void FileUtils::clearStop()
{
    stopping = false;
}

QString FileUtils::md5Hex(QIODevice *file, const std::function<void(qint64)> &progress,
                          std::vector<char> *buffer)
{
    std::vector<char> own;
    std::vector<char> &chunk = buffer ? *buffer : own;
    if (chunk.size() < size_t(Md5ChunkSize))
        chunk.resize(size_t(Md5ChunkSize));
    Md5 md5;
    for (;;) {
        if (stopping)
            return QString();
        const qint64 got = file->read(chunk.data(), Md5ChunkSize);
        if (got < 0)
            return QString();
        if (got == 0)
            break;
        md5.addData(chunk.data(), got);
        if (progress)
            progress(got);
    }
    return QString::fromLatin1(md5.result().toHex());
}

QString FileUtils::unreadableMd5()
{
    return QString::fromLatin1(Md5().result().toHex());
}

QString FileUtils::getFileMd5(const QString &path)
{
    QFile file(path);
    QString hex;
    // Unbuffered: the chunks go straight from read() into the hash without a second copy.
    if (file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        hex = md5Hex(&file);
    // A file that cannot be opened, or a read error halfway, counts as empty content.
    if (hex.isEmpty())
        hex = unreadableMd5();
    qDebug() << path << hex;
    return hex;
}
