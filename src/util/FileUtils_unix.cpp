#include "util/FileUtils.h"
#include "util/FileUtilsPlatform.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// The kernel copies this much between two looks at the stop request.
constexpr qint64 CopyChunkSize = 8 * 1024 * 1024;
// The buffer of a copy that the kernel cannot make between the files.
constexpr qint64 ReadWriteChunkSize = 1024 * 1024;

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
        if (FileUtils::stopRequested()) {
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
                buffer.resize(size_t(ReadWriteChunkSize));
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
} // namespace

bool FileUtilsPlatform::isLink(const QFileInfo &entry)
{
    return entry.isSymLink();
}

bool FileUtilsPlatform::removeLink(const QFileInfo &entry)
{
    return QFile::remove(entry.absoluteFilePath());
}

bool FileUtilsPlatform::resolvesOutside(const QFileInfo &, const QString &)
{
    // A link always says so here, and is never followed.
    return false;
}

void FileUtilsPlatform::makeReplaceable(const QString &) { }

bool FileUtilsPlatform::copyToNewTarget(const QString &source, const QString &target)
{
    return copyInKernel(source, target);
}

qint64 FileUtils::fileSize(const QString &path)
{
    // One call, without QFileInfo's caches: the verification asks for every file of a courseware.
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? qint64(info.st_size) : 0;
}

bool FileUtilsPlatform::copyNewFile(const QString &source, const QString &target,
                                    FileError &failure)
{
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
        if (FileUtils::stopRequested())
            failure = FileError::stopped();
        else if (shorter)
            failure = FileError::other(QStringLiteral("source file ended early"));
        else
            failure = FileError::fromSystem(code, false);
    }
    return ok;
}

FileError FileUtils::removalBlocker(const QString &path)
{
    // unlink never follows a link: one more try is safe and gives the system's reason.
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        return FileError::fromSystem(errno, false);
    return FileError::other(QStringLiteral("removed on a second try"));
}
