#ifndef FILEPATH_H
#define FILEPATH_H

#include <QString>

// The path rules every file operation shares: joining a service's relative path under a folder
// without leaving it, the case rule of the file system, the Win32 spelling of a path, and the
// one-separator joining of folder components. Text only: nothing here touches the file system.
class FilePath
{
public:
    // *joined is always folder + relative (plain concatenation, as the paths are logged).
    // Returns false when relative, after one leading "/" or "\" is dropped, is absolute,
    // names a drive ("C:", "C:x") or a UNC share or device path ("\\srv", "\\?\"), contains a
    // ".." component or a NUL, or when the cleaned result does not stay under the cleaned
    // folder. The same on every platform, for what Windows would make another file or a device
    // of: a ":" (a drive or a stream), a device name in any component with any extension
    // ("CON", "nul.txt", "COM1"), a component ending in "." or " ".
    static bool join(const QString &folder, const QString &relative, QString *joined);
    // The checks on the relative part alone.
    static bool isContained(const QString &relative);

    // An absolute path unchanged, otherwise folder + "/" + path (not cleaned).
    static QString resolved(const QString &path, const QString &folder);
    // base with one component added: exactly one separator between them and one at the end;
    // one leading "/" or "\" of the component is dropped, a component of several levels (a/b)
    // is taken whole.
    static QString withComponent(const QString &base, const QString &component);

    // Whether names that differ only in letter case name one file (Windows, macOS).
    static Qt::CaseSensitivity caseSensitivity();
    // Equal for two paths that name one file by the text alone: cleaned, and case-folded where
    // the file system ignores case.
    static QString fileKey(const QString &path);

    // The path every Win32 file call takes: absolute and cleaned, with "\\?\" in front
    // ("\\?\UNC\" for a share), so that no call is bound to 260 characters. A relative path
    // is taken in `base` (the working directory when empty), which may be a share.
    static QString extended(const QString &path, const QString &base = QString());
    // Whether `resolved` lies inside `resolvedFolder`, both as the system resolved them (links
    // followed). A path or folder that could not be resolved ("") lies nowhere: the caller keeps
    // what it cannot place.
    static bool liesInside(const QString &resolved, const QString &resolvedFolder);
};

#endif // FILEPATH_H
