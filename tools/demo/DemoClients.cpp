#include "DemoClients.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

#ifndef Q_OS_WIN
// Paths are found from the script's own place, so the demo folder may be moved.
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
#endif

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

#ifdef Q_OS_WIN
bool copyProgram(const QString &fakeClient, const QString &path, QString *error)
{
    QFile::remove(path);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !QFile::copy(fakeClient, path)) {
        *error = QStringLiteral("cannot copy %1 to %2").arg(fakeClient, path);
        return false;
    }
    return true;
}
#endif

} // namespace

bool writeClientStartFile(const QString &appData, const QString &client, const QString &fakeClient,
                          QString *error)
{
    const QString folder = appData + QLatin1Char('/') + client;
    const bool heron = client == QLatin1String("heron");
#ifdef Q_OS_WIN
    if (!heron)
        return copyProgram(fakeClient, folder + QStringLiteral("/bin/Lectern.exe"), error);
    // The client's folder is the program's own: it records itself as heron.
    return copyProgram(fakeClient, folder + QStringLiteral("/heron-client.exe"), error)
            && writeFile(folder + QStringLiteral("/run.bat"),
                         "@echo off\r\n"
                         "rem Demo student client heron: records its start and the resource "
                         "folder it was given.\r\n"
                         "\"%~dp0heron-client.exe\"\r\n",
                         false, error);
#else
    Q_UNUSED(fakeClient)
    return heron
            ? writeFile(folder + QStringLiteral("/run.bat"), startScript("heron", "."), true, error)
            : writeFile(folder + QStringLiteral("/bin/Lectern.exe"), startScript("atrium", ".."),
                        true, error);
#endif
}

bool writeDemoClients(const QString &out, const QString &fakeClient, QString *error)
{
    const QString appData = out + QStringLiteral("/appdata");
    return writeFile(appData + QStringLiteral("/heron/config.ini"), "[Server]\nversion=1.2\n",
                     false, error)
            && writeClientStartFile(appData, QStringLiteral("heron"), fakeClient, error)
            && writeFile(appData + QStringLiteral("/atrium/config.ini"),
                         "[Server]\nversion=0.9.8\n", false, error)
            && writeClientStartFile(appData, QStringLiteral("atrium"), fakeClient, error);
}
