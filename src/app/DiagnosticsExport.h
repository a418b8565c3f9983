#ifndef DIAGNOSTICSEXPORT_H
#define DIAGNOSTICSEXPORT_H

#include <QString>
#include <QStringList>

// The package a teacher sends to support: the last logs, config.ini, the settings and their
// sources, the About text and a connection report made on the spot, every text masked as the
// log is; crash dumps only when asked for, since a dump holds what the program had in memory.
class DiagnosticsExport
{
public:
    struct Result
    {
        bool ok = false;
        QString errorString;
        QStringList entries; // the names written into the zip
    };

    static constexpr int maxLogs = 10;
    static constexpr int maxDumps = 5;

    // False where policy (DisableDiagnostics) refuses the export.
    static bool allowed();
    // corvin-diagnostics-<time>.zip on the desktop.
    static QString defaultPath();
    static Result write(const QString &zipPath, bool withDumps);

    // corvin --diagnostics <file.zip> [--with-dumps]: no window, no single-instance guard, no
    // file changed but the zip. Returns the process's exit code.
    static int runFromCommandLine(const QStringList &arguments);

    DiagnosticsExport() = delete;
};

#endif // DIAGNOSTICSEXPORT_H
