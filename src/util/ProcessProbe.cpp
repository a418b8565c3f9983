#include "ProcessProbe.h"

// The running names are the platform's own: ProcessProbe_unix.cpp, ProcessProbe_win.cpp.

bool ProcessProbe::isRunning(const QString &name)
{
    const QStringList names = runningNames();
    for (const QString &running : names) {
        if (running.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}
