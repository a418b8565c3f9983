#ifndef FILEERROR_H
#define FILEERROR_H

#include <QString>

// Why a file operation failed: the system's error code (errno, or GetLastError() on Windows),
// its text, and what a teacher can do about it.
struct FileError
{
    enum Kind {
        None,
        SourceMissing, // the downloaded file is not there
        DiskFull,
        InUse, // another program holds the file
        NoPermission,
        Stopped, // the program is ending
        Other,
    };

    Kind kind = None;
    int code = 0;
    QString text;

    // From a system error code; `onSource` tells whether the file being read failed.
    static FileError fromSystem(int code, bool onSource);
    static FileError stopped();
    static FileError other(const QString &text);
};

#endif // FILEERROR_H
