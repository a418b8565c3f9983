#include "FileIdentity.h"

#include <QByteArray>

#include <windows.h>

#include <io.h>

FileIdentity FileIdentity::ofDescriptor(int fd)
{
    FileIdentity identity;
    if (fd < 0)
        return identity;
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
    identity.valid = true;
    return identity;
}

qint64 FileIdentity::now()
{
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return qint64((quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

qint64 FileIdentity::unitsPerSecond()
{
    return 10000000;
}
