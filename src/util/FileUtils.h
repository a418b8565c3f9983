#ifndef FILEUTILS_H
#define FILEUTILS_H

#include "util/FileError.h"

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class QIODevice;

// File operations of the resource copy and the MD5 verification. Stateless: every operation may
// run on any thread. Relative paths resolve against the executable's folder, except in
// deleteDir and getFileMd5, which take the path exactly as passed.
class FileUtils : public QObject
{
    Q_OBJECT

public:
    FileUtils();

    // Canonical folder of the running executable, no trailing "/".
    static QString applicationFolder();
    // An absolute path unchanged, otherwise applicationFolder() + "/" + path (not cleaned), as
    // FilePath::resolved makes it.
    static QString resolvePath(const QString &path);
    // True for folders as well as files.
    static bool fileExists(const QString &path);
    // The size of the file at path (taken as it is), 0 when there is none.
    static qint64 fileSize(const QString &path);
    Q_INVOKABLE static bool exists(QString fileName);

    // One level only: fails when the parent folder is missing.
    static bool makeDir(const QString &path);
    // Creates every missing level.
    static bool makePath(const QString &path);
    // Replaces an existing target; creates the target's folder chain when missing.
    static bool copyFile(const QString &source, const QString &target);
    // Removes a folder tree and then every parent that became empty. Links are removed as
    // links; their targets are never entered. Hidden entries stay, and then the result is false.
    static bool deleteDir(const QString &path);
    // Why a file deleteDir left cannot be removed, in the system's words.
    static FileError removalBlocker(const QString &path);
    // 32 lower-case hex digits; a file that cannot be read hashes as empty content.
    static QString getFileMd5(const QString &path);
    // The MD5 of what is left to read of an open file, in 1 MiB chunks, as 32 lower-case hex
    // digits; "" when a read fails or a stop was requested. `progress`, when set, hears the size
    // of each chunk read. `buffer`, when given, is used for the chunks (and sized as needed), so
    // that a caller hashing many files allocates once.
    static QString md5Hex(QIODevice *file, const std::function<void(qint64)> &progress = {},
                          std::vector<char> *buffer = nullptr);
    // The digest a file that cannot be read counts with: that of empty content.
    static QString unreadableMd5();

    // Copies source to target in a folder that exists, for callers that make the folders
    // themselves: no folder is made, and a target that does not exist yet is written in place
    // (no temporary file). An existing target is replaced. The data is copied by the kernel.
    // On failure no partial target is left, and *error (when given) says why.
    static bool copyNewFile(const QString &source, const QString &target,
                            FileError *error = nullptr);

    // Once asked, hashing and copying stop at their next chunk and fail: the program asks when
    // it quits, so that no work on gigabytes holds its end up.
    static void requestStop();
    static bool stopRequested();
    // For a process that goes on working afterwards (the tests).
    static void clearStop();
};

#endif // FILEUTILS_H
