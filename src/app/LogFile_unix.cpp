#include "LogFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

LogFile::~LogFile()
{
    close();
}

void LogFile::close()
{
    if (handle >= 0)
        ::close(int(handle));
    handle = -1;
    openedPath.clear();
}

bool LogFile::isCurrent(const QString &path)
{
    if (handle < 0 || path != openedPath)
        return false;
    // The name is looked up again: the folder may be gone (with the file's last name), or a test
    // may have moved to another working directory. Records of a batch look once for all.
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && quint64(info.st_dev) == device
            && quint64(info.st_ino) == inode;
}

bool LogFile::open(const QString &path, QString *error)
{
    close();
    const QString folder = QFileInfo(path).path();
    if (!QFileInfo::exists(folder))
        QDir().mkpath(folder);
    // Not inherited by the student client the program starts.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        *error = qt_error_string(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    handle = fd;
    device = quint64(info.st_dev);
    inode = quint64(info.st_ino);
    openedPath = path;
    return true;
}

bool LogFile::write(const QByteArray &record, QString *error)
{
    const char *data = record.constData();
    qint64 left = record.size();
    while (left > 0) {
        const ssize_t written = ::write(int(handle), data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            *error = written < 0 ? qt_error_string(errno) : qt_error_string(ENOSPC);
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}
