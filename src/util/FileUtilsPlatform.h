#ifndef FILEUTILSPLATFORM_H
#define FILEUTILSPLATFORM_H

#include "util/FileError.h"

#include <QString>

class QFileInfo;

// What FileUtils leaves to the platform's own file (FileUtils_unix.cpp, FileUtils_win.cpp),
// besides the FileUtils functions those files define themselves.
namespace FileUtilsPlatform {

// A link, junction or mount point: removed as itself, never entered.
bool isLink(const QFileInfo &entry);
// Removes the link itself: its target may lie outside the tree, so it is never entered and its
// permissions are never changed (setPermissions would follow the link).
bool removeLink(const QFileInfo &entry);
// A file that resolves to a place outside `folder`: a link that does not say so, which a
// deletion of the folder leaves alone.
bool resolvesOutside(const QFileInfo &entry, const QString &folder);
// Readies an existing target to be removed and replaced.
void makeReplaceable(const QString &target);
// Copies source to a target that does not exist, in a folder that does.
bool copyToNewTarget(const QString &source, const QString &target);
// FileUtils::copyNewFile once a stop has been looked for; `failure` says why it failed.
bool copyNewFile(const QString &source, const QString &target, FileError &failure);

} // namespace FileUtilsPlatform

#endif // FILEUTILSPLATFORM_H
