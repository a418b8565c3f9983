#include "util/FilePath.h"
#include "util/FileUtils.h"
#include "util/FileUtilsPlatform.h"

#include <QFile>
#include <QFileInfo>

#include <vector>

#include <windows.h>

namespace {

std::wstring nativePath(const QString &path)
{
    return FilePath::extended(path).toStdWString();
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
bool leadsOutside(const QFileInfo &entry, const QString &folder)
{
    const QString file = resolvedPath(entry.absoluteFilePath(), Spelling::Final);
    const QString inside = resolvedPath(folder, Spelling::Final);
    if (!file.isEmpty() && !inside.isEmpty())
        return !FilePath::liesInside(file, inside);
    return !FilePath::liesInside(resolvedPath(entry.absoluteFilePath(), Spelling::Object),
                                 resolvedPath(folder, Spelling::Object));
}
} // namespace

bool FileUtilsPlatform::isLink(const QFileInfo &entry)
{
    return entry.isSymLink() || isReparsePoint(entry);
}

bool FileUtilsPlatform::removeLink(const QFileInfo &entry)
{
    const QString linkPath = entry.absoluteFilePath();
    if (entry.isDir())
        return RemoveDirectoryW(nativePath(linkPath).c_str());
    return DeleteFileW(nativePath(linkPath).c_str());
}

bool FileUtilsPlatform::resolvesOutside(const QFileInfo &entry, const QString &folder)
{
    return leadsOutside(entry, folder);
}

void FileUtilsPlatform::makeReplaceable(const QString &target)
{
    // A read-only file cannot be removed on Windows; the target is replaced all the same.
    QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::WriteUser);
}

bool FileUtilsPlatform::copyToNewTarget(const QString &source, const QString &target)
{
    return QFile::copy(source, target);
}

qint64 FileUtils::fileSize(const QString &path)
{
    return QFileInfo(path).size();
}

bool FileUtilsPlatform::copyNewFile(const QString &source, const QString &target,
                                    FileError &failure)
{
    // The system copies and removes what it wrote when it fails or is cancelled.
    const auto progress = [](LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                             DWORD, HANDLE, HANDLE, LPVOID) -> DWORD {
        return FileUtils::stopRequested() ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
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
    if (FileUtils::stopRequested()) {
        failure = FileError::stopped();
    } else {
        // "Not found" says nothing about which side: the target's folder may be missing too.
        const bool sourceGone = GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES;
        failure = FileError::fromSystem(int(code), sourceGone);
    }
    return false;
}

FileError FileUtils::removalBlocker(const QString &path)
{
    // The file may be a link deleteDir kept on purpose: opening it for deletion without sharing
    // fails as the deletion would (in use, no right) and deletes nothing.
    const HANDLE handle
            = CreateFileW(nativePath(path).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return FileError::fromSystem(int(GetLastError()), false);
    CloseHandle(handle);
    return FileError::other(QStringLiteral("kept in the folder"));
}
