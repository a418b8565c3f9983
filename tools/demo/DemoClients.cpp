#include "DemoClients.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// A stand-in for a student client: appends the date, its name and what it finds in its
// resource folder to the record, then ends. Paths are found from the script's own place, so
// the demo folder may be moved.
QByteArray startScript(const QByteArray &name, const QByteArray &clientFromScript)
{
    return "#!/bin/sh\n"
           "# Demo student client "
            + name
            + ": records its start and the resource folder it was given.\n"
              "here=$(cd \"$(dirname \"$0\")\" && pwd)\n"
              "client=$(cd \"$here/"
            + clientFromScript
            + "\" && pwd)\n"
              "record=\"$client/../../client-started.log\"\n"
              "{\n"
              "    echo \"$(date '+%Y-%m-%d %H:%M:%S') "
            + name
            + " started\"\n"
              "    find \"$client/resource\" 2>&1 | sort\n"
              "} >> \"$record\"\n";
}

bool writeFile(const QString &path, const QByteArray &content, bool executable, QString *error)
{
    QFile file(path);
    const bool written = QDir().mkpath(QFileInfo(path).absolutePath())
            && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(content) == content.size();
    file.close();
    const QFileDevice::Permissions exec = QFileDevice::ReadOwner | QFileDevice::WriteOwner
            | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup
            | QFileDevice::ReadOther | QFileDevice::ExeOther;
    if (!written || (executable && !file.setPermissions(exec))) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return true;
}

} // namespace

bool writeDemoClients(const QString &out, QString *error)
{
    const QString appData = out + QStringLiteral("/appdata");
    return writeFile(appData + QStringLiteral("/heron/config.ini"), "[Server]\nversion=1.2\n",
                     false, error)
            && writeFile(appData + QStringLiteral("/heron/run.bat"), startScript("heron", "."),
                         true, error)
            && writeFile(appData + QStringLiteral("/atrium/config.ini"),
                         "[Server]\nversion=0.9.8\n", false, error)
            && writeFile(appData + QStringLiteral("/atrium/bin/Lectern.exe"),
                         startScript("atrium", ".."), true, error);
}
