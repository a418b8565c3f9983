#include "ProcessProbe.h"

#include <windows.h>

#include <tlhelp32.h>

QStringList ProcessProbe::runningNames()
{
    QStringList names;
    // The snapshot instead of tasklist: no console window, no localised output to parse, and an
    // exact image name. A snapshot that cannot be taken lists nothing, so nothing counts as
    // running.
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return names;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        names.append(QString::fromWCharArray(entry.szExeFile));
    CloseHandle(snapshot);
    return names;
}
