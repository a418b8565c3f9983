#include "ProcessProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QStringList ProcessProbe::runningNames()
{
    QStringList names;
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
    return names;
}
