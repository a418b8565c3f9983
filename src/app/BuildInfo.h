#ifndef BUILDINFO_H
#define BUILDINFO_H

#include <QString>

// What names this build for support: the version, the commit and date it was built from, and
// the build id that its symbols package and its crash dumps carry.
namespace BuildInfo {

QString version();
QString commit();
QString buildDate();
// The running program's build id in hex (ELF build id; on Windows the CodeView GUID and age),
// as scripts/read-dump.sh compares it; "" when the program has none.
QString buildId();

} // namespace BuildInfo

#endif // BUILDINFO_H
