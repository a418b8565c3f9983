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
    // names a drive ("C:", "C:x") or a UNC share or device path ("\\srv", "\\?\"), contains a
    // ".." component or a NUL, or when the cleaned result does not stay under the cleaned
    // folder. The same on every platform, for what Windows would make another file or a device
    // of: a ":" (a drive or a stream), a device name in any component with any extension
    // ("CON", "nul.txt", "COM1"), a component ending in "." or " ".
    static bool join(const QString &folder, const QString &relative, QString *joined);

    // The checks on the relative part alone.
    static bool isContained(const QString &relative);
};

#endif // SAFEPATH_H
