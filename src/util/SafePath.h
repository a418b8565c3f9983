#ifndef SAFEPATH_H
#define SAFEPATH_H

#include <QString>

// Joins a folder and a relative path that came from the service, refusing every relative path
// that could reach outside the folder. Both the verification and the copy go through here.
class SafePath
{
public:
    // *joined is always folder + relative (plain concatenation, as the paths are logged).
    // Returns false when relative, after one leading "/" or "\" is dropped, is absolute,
    // names a drive ("C:") or a UNC share, contains a ".." component or a NUL, or when the
    // cleaned result does not stay under the cleaned folder.
    static bool join(const QString &folder, const QString &relative, QString *joined);

    // The checks on the relative part alone.
    static bool isContained(const QString &relative);
};

#endif // SAFEPATH_H
