#include "FileUtils.h"

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

    if (!fileExists(resolvedTarget)) {
        makePath(QFileInfo(resolvedTarget).path());
    } else {
        FileUtilsPlatform::makeReplaceable(resolvedTarget);
        QFile::remove(resolvedTarget);
    }
    return FileUtilsPlatform::copyToNewTarget(resolvedSource, resolvedTarget);
}

QString FileUtils::extendedPath(const QString &path, const QString &base)
{
    // Windows' rules, spelled out so that they hold (and can be tested) on every platform.
    QString clean = path;
    clean.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (clean.startsWith(QLatin1String("//?/")) || clean.startsWith(QLatin1String("//./")))
        return path;
    const auto isShare = [](const QString &name) {
        return name.startsWith(QLatin1String("//"));
    };
    const auto isDrive = [](const QString &name) {
        return name.size() >= 3 && name.at(0).isLetter() && name.at(1) == QLatin1Char(':')
                && name.at(2) == QLatin1Char('/');
    };
    // Made absolute before the kind is told: a relative path under a share is on that share.
    if (clean.size() >= 2 && clean.at(0).isLetter() && clean.at(1) == QLatin1Char(':')
        && !isDrive(clean)) {
        // "C:x" is in that drive's own current folder, which only the system knows.
        clean = QFileInfo(clean).absoluteFilePath();
    } else if (!isShare(clean) && !isDrive(clean)) {
        QString folder = base.isEmpty() ? QDir::currentPath() : base;
        folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (!clean.startsWith(QLatin1Char('/'))) {
            clean = folder + QLatin1Char('/') + clean;
        } else if (isDrive(folder)) {
            // "\\x" is on the working directory's drive, or at its share's root.
            clean = folder.left(2) + clean;
        } else if (isShare(folder)) {
            const int share
                    = folder.indexOf(QLatin1Char('/'), folder.indexOf(QLatin1Char('/'), 2) + 1);
            clean = (share < 0 ? folder : folder.left(share)) + clean;
        }
    }
    const bool share = isShare(clean);
    // cleanPath would fold the share's leading "//" into one outside Windows.
    QString rest = QDir::cleanPath(share ? clean.mid(2) : clean);
    // "C:" alone names the drive's current folder, not its root.
    if (rest.endsWith(QLatin1Char(':')))
        rest += QLatin1Char('/');
    rest.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return (share ? QStringLiteral("\\\\?\\UNC\\") : QStringLiteral("\\\\?\\")) + rest;
}

bool FileUtils::liesInside(const QString &resolved, const QString &resolvedFolder)
{
    if (resolved.isEmpty() || resolvedFolder.isEmpty())
        return false;
    QString folder = resolvedFolder;
    if (!folder.endsWith(QLatin1Char('\\')) && !folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('\\');
    return resolved.startsWith(folder, Qt::CaseInsensitive);
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
