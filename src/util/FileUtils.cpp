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
// How the copy moves the bytes: in the kernel between the files, through sendfile, or read and
// written here. Each is tried in turn where the one before cannot go on.
enum class CopyMethod { CopyFileRange, Sendfile, ReadWrite, Done, Failed };

// What comes after a call of `method` that returned `result` bytes (-1: failed with `error`, an
// errno) while `remaining` bytes were still to come.
CopyMethod nextCopyMethod(CopyMethod method, qint64 result, int error, qint64 remaining)
{
    if (result > 0)
        return result >= remaining ? CopyMethod::Done : method;
    if (result == 0) {
        // copy_file_range and sendfile give 0 where they cannot serve a file (some network and
        // virtual file systems) as well as at its end; only a plain read tells which.
        switch (method) {
        case CopyMethod::CopyFileRange:
            return CopyMethod::Sendfile;
        case CopyMethod::Sendfile:
            return CopyMethod::ReadWrite;
        default:
            return CopyMethod::Failed; // the file is shorter than it was
        }
    }
    if (error == EINTR)
        return method;
    const bool unsupported = error == EXDEV || error == ENOSYS || error == EINVAL
            || error == EOPNOTSUPP || error == ENOTSUP;
    if (unsupported && method == CopyMethod::CopyFileRange)
        return CopyMethod::Sendfile;
    if (unsupported && method == CopyMethod::Sendfile)
        return CopyMethod::ReadWrite;
    return CopyMethod::Failed;
}

bool writeAll(int to, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(to, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// The bytes of one file into another: in the kernel where it can, else through a buffer here.
// False with errno set when a call fails, or with *shorter when the source ended early.
bool kernelCopy(int from, int to, qint64 size, bool *shorter)
{
    using Method = CopyMethod;
    Method method = Method::CopyFileRange;
    std::vector<char> buffer;
    qint64 remaining = size;
    *shorter = false;
    while (remaining > 0) {
        if (stopping) {
            errno = ECANCELED;
            return false;
        }
        const size_t chunk = size_t(qMin<qint64>(remaining, CopyChunkSize));
        ssize_t copied = -1;
        switch (method) {
        case Method::CopyFileRange:
            copied = ::copy_file_range(from, nullptr, to, nullptr, chunk, 0);
            break;
        case Method::Sendfile:
            copied = ::sendfile(to, from, nullptr, chunk);
            break;
        default: {
            if (buffer.empty())
                buffer.resize(size_t(Md5ChunkSize));
            copied = ::read(from, buffer.data(), qMin(chunk, buffer.size()));
            if (copied > 0 && !writeAll(to, buffer.data(), copied))
                return false;
            break;
        }
        }
        const int error = copied < 0 ? errno : 0;
        const Method next = nextCopyMethod(method, copied, error, remaining);
        if (next == Method::Failed) {
            *shorter = copied == 0;
            errno = error;
            return false;
        }
        if (copied > 0)
            remaining -= copied;
        method = next;
    }
    return true;
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
    bool shorter = false;
    if (!out.open() || !kernelCopy(in.handle(), out.handle(), in.size(), &shorter)
        || !out.rename(target))
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
    return FileUtils::extendedPath(path).toStdWString();
}

// Symbolic links, junctions and mount points are all reparse points. Wine shows a Linux link to
// a folder as one with tag 0, which QFileInfo does not take for a link.
bool isReparsePoint(const QFileInfo &entry)
{
    const DWORD attributes = GetFileAttributesW(nativePath(entry.absoluteFilePath()).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

enum class Spelling { Final, Object };

// Where the file system takes a path in the end, links followed; "" when it cannot be opened.
// The kernel's object name is the second spelling: Wine answers GetFinalPathNameByHandleW only
// for paths under 260 characters.
QString resolvedPath(const QString &path, Spelling spelling)
{
    HANDLE handle = CreateFileW(nativePath(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return QString();
    QString resolved;
    if (spelling == Spelling::Final) {
        std::wstring buffer(32768, L'\0');
        const DWORD length = GetFinalPathNameByHandleW(handle, &buffer[0], DWORD(buffer.size()), 0);
        if (length > 0 && length < buffer.size())
            resolved = QString::fromWCharArray(buffer.data(), int(length));
    } else {
        using QueryObject = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
        static const auto query = reinterpret_cast<QueryObject>(reinterpret_cast<void *>(
                GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
        struct Name
        {
            USHORT length;
            USHORT maximumLength;
            PWSTR buffer;
        };
        std::vector<char> buffer(sizeof(Name) + 65536);
        const int objectNameInformation = 1;
        if (query
            && query(handle, objectNameInformation, buffer.data(), ULONG(buffer.size()), nullptr)
                    == 0) {
            const auto *name = reinterpret_cast<const Name *>(buffer.data());
            resolved = QString::fromWCharArray(name->buffer, name->length / 2);
        }
    }
    CloseHandle(handle);
    return resolved;
}

// A file that resolves to a place outside the folder being deleted is a link that does not say
// so: Wine shows a Linux link to a file as the file itself, and deleting it deletes its target.
bool resolvesOutside(const QFileInfo &entry, const QString &folder)
{
    const QString file = resolvedPath(entry.absoluteFilePath(), Spelling::Final);
    const QString inside = resolvedPath(folder, Spelling::Final);
    if (!file.isEmpty() && !inside.isEmpty())
        return !FileUtils::liesInside(file, inside);
    return !FileUtils::liesInside(resolvedPath(entry.absoluteFilePath(), Spelling::Object),
                                  resolvedPath(folder, Spelling::Object));
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

qint64 FileUtils::fileSize(const QString &path)
{
#ifdef Q_OS_LINUX
    // One call, without QFileInfo's caches: the verification asks for every file of a courseware.
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? qint64(info.st_size) : 0;
#else
    return QFileInfo(path).size();
#endif
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
#ifdef Q_OS_LINUX
    // As few calls as cp makes: open both, one copy, the mode, close.
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        failure = FileError::fromSystem(errno, true);
        return false;
    }
    struct stat info;
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        failure = FileError::fromSystem(S_ISDIR(info.st_mode) ? EISDIR : EINVAL, true);
        ::close(in);
        return false;
    }
    const QByteArray to = QFile::encodeName(target);
    int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0 && errno == EEXIST && ::unlink(to.constData()) == 0)
        out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        failure = FileError::fromSystem(errno, false);
        ::close(in);
        return false;
    }
    bool shorter = false;
    bool ok = kernelCopy(in, out, info.st_size, &shorter);
    int code = ok ? 0 : errno;
    // Some file systems (vfat, some shares) keep no Unix mode: the data is what counts.
    if (ok && ::fchmod(out, info.st_mode & 07777) != 0 && errno != EPERM && errno != ENOTSUP
        && errno != EOPNOTSUPP) {
        ok = false;
        code = errno;
    }
    if (::close(out) != 0 && ok) {
        ok = false;
        code = errno;
    }
    ::close(in);
    if (!ok) {
        ::unlink(to.constData());
        if (stopping)
            failure = FileError::stopped();
        else if (shorter)
            failure = FileError::other(QStringLiteral("source file ended early"));
        else
            failure = FileError::fromSystem(code, false);
    }
    return ok;
#elif defined(Q_OS_WIN)
    // The system copies and removes what it wrote when it fails or is cancelled.
    const auto progress = [](LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                             DWORD, HANDLE, HANDLE, LPVOID) -> DWORD {
        return stopping ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
    };
    const std::wstring from = nativePath(source);
    const std::wstring to = nativePath(target);
    const auto copy = [&] {
        return CopyFileExW(from.c_str(), to.c_str(), progress, nullptr, nullptr,
                           COPY_FILE_FAIL_IF_EXISTS);
    };
    if (copy())
        return true;
    DWORD code = GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
        // A read-only file cannot be removed on Windows; the target is replaced all the same.
        SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileW(to.c_str()) && copy())
            return true;
        code = GetLastError();
    }
    if (stopping) {
        failure = FileError::stopped();
    } else {
        // "Not found" says nothing about which side: the target's folder may be missing too.
        const bool sourceGone = GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES;
        failure = FileError::fromSystem(int(code), sourceGone);
    }
    return false;
#else
    if (copyFile(source, target))
        return true;
    failure = FileError::other(QStringLiteral("copy failed"));
    return false;
#endif
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

FileError FileUtils::removalBlocker(const QString &path)
{
#ifdef Q_OS_WIN
    // The file may be a link deleteDir kept on purpose: opening it for deletion without sharing
    // fails as the deletion would (in use, no right) and deletes nothing.
    const HANDLE handle
            = CreateFileW(nativePath(path).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return FileError::fromSystem(int(GetLastError()), false);
    CloseHandle(handle);
    return FileError::other(QStringLiteral("kept in the folder"));
#else
    // unlink never follows a link: one more try is safe and gives the system's reason.
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        return FileError::fromSystem(errno, false);
    return FileError::other(QStringLiteral("removed on a second try"));
#endif
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

void FileUtils::adviseSequentialRead(const QFile &file)
{
#ifdef Q_OS_LINUX
    const int fd = const_cast<QFile &>(file).handle();
    if (fd >= 0)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    Q_UNUSED(file)
#endif
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
