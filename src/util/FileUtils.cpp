#include "FileUtils.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <vector>

#ifdef Q_OS_LINUX
#include <QTemporaryFile>

#include <cerrno>
#include <sys/sendfile.h>
#include <unistd.h>
#endif

namespace {

// Big enough for full disk throughput, small enough that memory stays flat for any file size.
constexpr qint64 Md5ChunkSize = 1024 * 1024;

#ifdef Q_OS_LINUX
// QFile::copy syncs every file to disk (fdatasync) before linking it in, which costs more than
// the copy itself; the resource folder is rewritten on every run, so that durability buys
// nothing. Otherwise the same: the data goes in the kernel into a temporary file in the
// target's folder, which takes the source's permissions and is then renamed to the target.
bool copyInKernel(const QString &source, const QString &target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QTemporaryFile out(QFileInfo(target).path() + QStringLiteral("/qt_temp.XXXXXX"));
    if (!out.open())
        return false;
    const int from = in.handle();
    const int to = out.handle();
    qint64 remaining = in.size();
    bool useSendfile = false;
    while (remaining > 0) {
        const size_t chunk = size_t(qMin<qint64>(remaining, 1 << 30));
        const ssize_t copied = useSendfile
                ? ::sendfile(to, from, nullptr, chunk)
                : ::copy_file_range(from, nullptr, to, nullptr, chunk, 0);
        if (copied < 0) {
            if (errno == EINTR)
                continue;
            // Across file systems or where the call is missing, sendfile does the same job.
            if (!useSendfile
                && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                useSendfile = true;
                continue;
            }
            return false;
        }
        if (copied == 0)
            break;
        remaining -= copied;
    }
    if (remaining != 0)
        return false;
    if (!out.rename(target))
        return false;
    // Renamed: the file is the target now and must outlive the temporary-file object.
    out.setAutoRemove(false);
    QFile::setPermissions(target, in.permissions());
    return true;
}
#endif

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
#ifdef Q_OS_LINUX
    return copyInKernel(resolvedSource, resolvedTarget);
#else
    return QFile::copy(resolvedSource, resolvedTarget);
#endif
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
