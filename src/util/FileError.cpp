#include "FileError.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#endif

FileError FileError::fromSystem(int code, bool onSource)
{
    FileError error;
    error.code = code;
    error.text = qt_error_string(code);
    switch (code) {
#ifdef Q_OS_WIN
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        error.kind = onSource ? SourceMissing : Other;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        error.kind = DiskFull;
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        error.kind = InUse;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD:
        error.kind = NoPermission;
        break;
    case ERROR_REQUEST_ABORTED:
        error.kind = Stopped;
        break;
#else
    case ENOENT:
        error.kind = onSource ? SourceMissing : Other;
        break;
    case ENOSPC:
    case EDQUOT:
        error.kind = DiskFull;
        break;
    case EBUSY:
    case ETXTBSY:
        error.kind = InUse;
        break;
    case EACCES:
    case EPERM:
    case EROFS:
        error.kind = NoPermission;
        break;
#endif
    default:
        error.kind = Other;
        break;
    }
    return error;
}

FileError FileError::stopped()
{
    FileError error;
    error.kind = Stopped;
    error.text = QStringLiteral("stopped");
    return error;
}

FileError FileError::other(const QString &text)
{
    FileError error;
    error.kind = Other;
    error.text = text;
    return error;
}
