#include "FileIdentity.h"

#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>

#include <io.h>
#else
#include <sys/stat.h>
#include <time.h>
#endif

FileIdentity FileIdentity::of(const QFile &file)
{
    return ofDescriptor(const_cast<QFile &>(file).handle());
}

FileIdentity FileIdentity::ofDescriptor(int fd)
{
    FileIdentity identity;
    if (fd < 0)
        return identity;
#ifdef Q_OS_WIN
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (handle == INVALID_HANDLE_VALUE
        || !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
        || !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
        return identity;
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        identity.volume = QString::number(id.VolumeSerialNumber);
        identity.fileId = QString::fromLatin1(
                QByteArray(reinterpret_cast<const char *>(id.FileId.Identifier),
                           int(sizeof id.FileId.Identifier))
                        .toHex());
    } else {
        // Before Windows 8 (and under Wine) only the 64-bit id of the older call.
        BY_HANDLE_FILE_INFORMATION older;
        if (!GetFileInformationByHandle(handle, &older))
            return identity;
        identity.volume = QString::number(older.dwVolumeSerialNumber);
        identity.fileId
                = QString::number((quint64(older.nFileIndexHigh) << 32) | older.nFileIndexLow);
    }
    identity.size = standard.EndOfFile.QuadPart;
    identity.regularFile = !standard.Directory;
    identity.modified = basic.LastWriteTime.QuadPart;
    identity.changed = basic.ChangeTime.QuadPart;
#else
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return identity;
    identity.volume = QString::number(quint64(info.st_dev));
    identity.fileId = QString::number(quint64(info.st_ino));
    identity.size = info.st_size;
    identity.regularFile = S_ISREG(info.st_mode);
    identity.modified = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    identity.changed = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
#endif
    identity.valid = true;
    return identity;
}

qint64 FileIdentity::now()
{
#ifdef Q_OS_WIN
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return qint64((quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime);
#else
    struct timespec time;
    clock_gettime(CLOCK_REALTIME, &time);
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
#endif
}

qint64 FileIdentity::unitsPerSecond()
{
#ifdef Q_OS_WIN
    return 10000000;
#else
    return 1000000000;
#endif
}
