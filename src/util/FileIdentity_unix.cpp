#include "FileIdentity.h"

#include <sys/stat.h>
#include <time.h>

FileIdentity FileIdentity::ofDescriptor(int fd)
{
    FileIdentity identity;
    if (fd < 0)
        return identity;
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return identity;
    identity.volume = QString::number(quint64(info.st_dev));
    identity.fileId = QString::number(quint64(info.st_ino));
    identity.size = info.st_size;
    identity.regularFile = S_ISREG(info.st_mode);
    identity.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    identity.changed = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    identity.valid = true;
    return identity;
}

qint64 FileIdentity::now()
{
    struct timespec time;
    clock_gettime(CLOCK_REALTIME, &time);
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

qint64 FileIdentity::unitsPerSecond()
{
    return 1000000000;
}
