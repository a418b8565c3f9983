#include "ProcessProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>

#include <tlhelp32.h>
#endif

bool ProcessProbe::isRunning(const QString &name)
{
    const QStringList names = runningNames();
    for (const QString &running : names) {
        if (running.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QStringList ProcessProbe::runningNames()
{
    QStringList names;
#ifdef Q_OS_WIN
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
#else
    const QStringList pids
            = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool isPid = false;
        pid.toLongLong(&isPid);
        if (!isPid)
            continue;
        // A process may end between the listing and the reads; its files then read as empty.
        const QString folder = QStringLiteral("/proc/") + pid;
        QFile comm(folder + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly)) {
            const QString text = QString::fromUtf8(comm.readAll()).trimmed();
            if (!text.isEmpty())
                names.append(text);
        }
        QFile cmdline(folder + QStringLiteral("/cmdline"));
        if (cmdline.open(QIODevice::ReadOnly)) {
            const QByteArray raw = cmdline.readAll();
            const int end = raw.indexOf('\0');
            const QByteArray first = end < 0 ? raw : raw.left(end);
            if (!first.isEmpty()) {
                const QString program = QFileInfo(QFile::decodeName(first)).fileName();
                if (!program.isEmpty())
                    names.append(program);
            }
        }
    }
#endif
    return names;
}
