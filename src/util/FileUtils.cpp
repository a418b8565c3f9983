#include "FileUtils.h"

#include "util/Md5.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#ifdef Q_OS_LINUX
#include <QTemporaryFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Big enough for full disk throughput, small enough that memory stays flat for any file size.
constexpr qint64 Md5ChunkSize = 1024 * 1024;
// The kernel copies this much between two looks at the stop request.
constexpr qint64 CopyChunkSize = 8 * 1024 * 1024;

std::atomic<bool> stopping {false};

#ifdef Q_OS_LINUX
// The bytes of one file into another in the kernel: copy_file_range, or sendfile where that is
// missing or the two lie on different file systems.
bool kernelCopy(int from, int to, qint64 size)
{
    qint64 remaining = size;
    bool useSendfile = false;
    while (remaining > 0) {
        if (stopping)
            return false;
        const size_t chunk = size_t(qMin<qint64>(remaining, CopyChunkSize));
        const ssize_t copied = useSendfile
                ? ::sendfile(to, from, nullptr, chunk)
                : ::copy_file_range(from, nullptr, to, nullptr, chunk, 0);
        if (copied < 0) {
            if (errno == EINTR)
                continue;
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
    return remaining == 0;
}

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
    if (!out.open() || !kernelCopy(in.handle(), out.handle(), in.size()) || !out.rename(target))
        return false;
    // Renamed: the file is the target now and must outlive the temporary-file object.
    out.setAutoRemove(false);
    QFile::setPermissions(target, in.permissions());
    return true;
}
#endif

#ifdef Q_OS_WIN
std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// Symbolic links, junctions and mount points are all reparse points. Wine shows a Linux link to
// a folder as one with tag 0, which QFileInfo does not take for a link.
bool isReparsePoint(const QFileInfo &entry)
{
    const DWORD attributes = GetFileAttributesW(nativePath(entry.absoluteFilePath()).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Where the file system takes a path in the end, links followed; "" when it cannot be opened.
QString finalPath(const QString &path)
{
    HANDLE handle = CreateFileW(nativePath(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return QString();
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, &buffer[0], DWORD(buffer.size()), 0);
    CloseHandle(handle);
    return length > 0 && length < buffer.size()
            ? QString::fromWCharArray(buffer.data(), int(length))
            : QString();
}

// A file that resolves to a place outside the folder being deleted is a link that does not say
// so: Wine shows a Linux link to a file as the file itself, and deleting it deletes its target.
bool resolvesOutside(const QFileInfo &entry, const QString &folder)
{
    const QString resolved = finalPath(entry.absoluteFilePath());
    const QString inside = finalPath(folder) + QLatin1Char('\\');
    return resolved.isEmpty() || !resolved.startsWith(inside, Qt::CaseInsensitive);
}
#endif

// Removes the link itself: its target may lie outside the tree, so it is never entered and its
// permissions are never changed (setPermissions would follow the link).
bool removeLink(const QFileInfo &entry)
{
    const QString linkPath = entry.absoluteFilePath();
#ifdef Q_OS_WIN
    if (entry.isDir())
        return RemoveDirectoryW(nativePath(linkPath).c_str());
    return DeleteFileW(nativePath(linkPath).c_str());
#else
    return QFile::remove(linkPath);
#endif
}

bool isLink(const QFileInfo &entry)
{
#ifdef Q_OS_WIN
    return entry.isSymLink() || isReparsePoint(entry);
#else
    return entry.isSymLink();
#endif
}

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
#ifdef Q_OS_WIN
        // A read-only file cannot be removed on Windows; the target is replaced all the same.
        QFile::setPermissions(resolvedTarget,
                              QFile::permissions(resolvedTarget) | QFileDevice::WriteUser);
#endif
        QFile::remove(resolvedTarget);
    }
#ifdef Q_OS_LINUX
    return copyInKernel(resolvedSource, resolvedTarget);
#else
    return QFile::copy(resolvedSource, resolvedTarget);
#endif
}

bool FileUtils::copyNewFile(const QString &source, const QString &target)
{
#ifdef Q_OS_LINUX
    // As few calls as cp makes: open both, one copy, the mode, close.
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat info;
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(in);
        return false;
    }
    const QByteArray to = QFile::encodeName(target);
    const int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return errno == EEXIST && copyFile(source, target);
    }
    bool ok = kernelCopy(in, out, info.st_size) && ::fchmod(out, info.st_mode & 07777) == 0;
    ok = ::close(out) == 0 && ok;
    ::close(in);
    if (!ok)
        ::unlink(to.constData());
    return ok;
#elif defined(Q_OS_WIN)
    // The system copies and removes what it wrote when it fails or is cancelled.
    const auto progress = [](LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                             DWORD, HANDLE, HANDLE, LPVOID) -> DWORD {
        return stopping ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
    };
    if (CopyFileExW(nativePath(source).c_str(), nativePath(target).c_str(), progress, nullptr,
                    nullptr, COPY_FILE_FAIL_IF_EXISTS))
        return true;
    return GetLastError() == ERROR_FILE_EXISTS && copyFile(source, target);
#else
    return copyFile(source, target);
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
        if (isLink(entry)) {
            qDebug() << " FileUtils::deleteDir : remove ++ " << entry.fileName();
            qDebug() << " FileUtils::deleteDir : remove -- " << removeLink(entry);
#ifdef Q_OS_WIN
        } else if (entry.isFile() && resolvesOutside(entry, path)) {
            // Left alone; the folder then stays and the result is false.
            qDebug() << " FileUtils::deleteDir : remove ++ " << entry.fileName();
            qDebug() << " FileUtils::deleteDir : remove -- " << false;
#endif
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

QString FileUtils::md5Hex(QIODevice *file, const std::function<void(qint64)> &progress)
{
    Md5 md5;
    std::vector<char> buffer(static_cast<size_t>(Md5ChunkSize));
    for (;;) {
        if (stopping)
            return QString();
        const qint64 got = file->read(buffer.data(), Md5ChunkSize);
        if (got < 0)
            return QString();
        if (got == 0)
            break;
        md5.addData(buffer.data(), got);
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
