#ifndef ABOUTINFO_H
#define ABOUTINFO_H

#include <QString>

// The text of the About box, and of about.txt in a diagnostics package: which build runs where,
// with which settings from which source, and where its logs and dumps are.
namespace AboutInfo {

QString text();
QString logFolder();
QString dumpFolder();

} // namespace AboutInfo

#endif // ABOUTINFO_H
