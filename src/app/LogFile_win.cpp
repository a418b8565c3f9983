#include "LogFile.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>

namespace {

HANDLE nativeHandle(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

QString fullPathOf(const QString &path)
{
    const std::wstring relative = QDir::toNativeSeparators(path).toStdWString();
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(relative.c_str(), DWORD(buffer.size()), &buffer[0], nullptr);
    if (length >= buffer.size()) {
        buffer.resize(length);
        length = GetFullPathNameW(relative.c_str(), DWORD(buffer.size()), &buffer[0], nullptr);
    }
    return length > 0 && length < buffer.size()
            ? QString::fromWCharArray(buffer.data(), int(length))
            : QString();
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

bool LogFile::isCurrent(const QString &path) const
{
    if (handle == -1 || path != openedPath || fullPathOf(path) != fullPath)
        return false;
    // A file deleted while open stays until its last handle closes; the name is gone already.
    FILE_STANDARD_INFO standard;
    return GetFileInformationByHandleEx(nativeHandle(handle), FileStandardInfo, &standard,
                                        sizeof standard)
            && !standard.DeletePending && standard.NumberOfLinks > 0;
}

bool LogFile::open(const QString &path, QString *error)
{
    close();
    const QString folder = QFileInfo(path).path();
    if (!QFileInfo::exists(folder))
        QDir().mkpath(folder);
    const QString full = fullPathOf(path);
    // Others may read, rename and delete the file while it is open: a support engineer copying
    // the log, or the log folder removed mid-run. Not inherited by the student client.
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(full.utf16()),
                                    FILE_APPEND_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = qt_error_string(int(GetLastError()));
        return false;
    }
    handle = reinterpret_cast<qintptr>(file);
    fullPath = full;
    openedPath = path;
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
