#include "LogFile.h"

#include "util/FilePath.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>

namespace {

HANDLE nativeHandle(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

// The volume and file index: what the inode is on Linux.
bool fileId(HANDLE file, quint64 *volume, quint64 *index)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return false;
    *volume = info.dwVolumeSerialNumber;
    *index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

} // namespace

LogFile::~LogFile()
{
    close();
}

void LogFile::close()
{
    if (handle != -1)
        CloseHandle(nativeHandle(handle));
    handle = -1;
    openedPath.clear();
}

bool LogFile::isCurrent(const QString &path)
{
    if (handle == -1 || path != openedPath || FilePath::extended(path) != fullPath)
        return false;
    // A file deleted while open stays until its last handle closes; the name is gone already.
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(nativeHandle(handle), FileStandardInfo, &standard,
                                      sizeof standard)
        || standard.DeletePending || standard.NumberOfLinks == 0)
        return false;
    // A file renamed or moved while open takes the handle along: the name must still lead to it.
    const HANDLE named = CreateFileW(fullPath.toStdWString().c_str(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    quint64 namedVolume = 0;
    quint64 namedIndex = 0;
    const bool same = fileId(named, &namedVolume, &namedIndex) && namedVolume == device
            && namedIndex == inode;
    CloseHandle(named);
    return same;
}

bool LogFile::open(const QString &path, QString *error)
{
    close();
    const QString folder = QFileInfo(path).path();
    if (!QFileInfo::exists(folder))
        QDir().mkpath(folder);
    // Others may read, rename and delete the file while it is open: a support engineer copying
    // the log, or the log folder removed mid-run. Not inherited by the student client.
    const QString full = FilePath::extended(path);
    const std::wstring name = full.toStdWString();
    const HANDLE file = CreateFileW(name.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = qt_error_string(int(GetLastError()));
        return false;
    }
    if (!fileId(file, &device, &inode)) {
        *error = qt_error_string(int(GetLastError()));
        CloseHandle(file);
        return false;
    }
    handle = reinterpret_cast<qintptr>(file);
    openedPath = path;
    fullPath = full;
    return true;
}

bool LogFile::write(const QByteArray &record, QString *error)
{
    const char *data = record.constData();
    DWORD left = DWORD(record.size());
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(nativeHandle(handle), data, left, &written, nullptr) || written == 0) {
            *error = qt_error_string(int(GetLastError()));
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}
