#include "StudentClient.h"

#include <QDir>
#include <QSettings>
#include <QStringList>

namespace {

QString versionInFolder(const QString &appData, const QString &client)
{
    QDir dir(appData);
    // A missing client folder leaves the QDir where it was; the path comes from there.
    dir.cd(client);
    QSettings clientSettings(dir.absolutePath() + QStringLiteral("/config.ini"),
                             QSettings::IniFormat);
    clientSettings.beginGroup(QStringLiteral("Server"));
    return clientSettings.value(QStringLiteral("version"), QString()).toString();
}

} // namespace

bool StudentClient::isNewVersion(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    const int major = parts.value(0).toInt();
    const int minor = parts.size() > 1 ? parts.at(1).toInt() : 0;
    return major > 0 || minor > 9;
}

QString StudentClient::blockingProcessName()
{
    return QStringLiteral("Lectern.exe");
}

QString StudentClient::flowFolder()
{
    return QStringLiteral("xml");
}

QString StudentClient::typeFolder(const QString &fileType)
{
    if (fileType == QLatin1String("audio"))
        return QStringLiteral("voice");
    return fileType;
}

StudentClient StudentClient::forChannel(int channel, const QString &appData)
{
    StudentClient client;
    if (channel == 1) {
        client.version = versionInFolder(appData, QStringLiteral("atrium"));
        if (client.version.isEmpty())
            client.version = versionInFolder(appData, QStringLiteral("heron"));
    } else {
        client.version = versionInFolder(appData, QStringLiteral("heron"));
    }
    client.newLayout = !client.version.isEmpty() && isNewVersion(client.version);

    if (channel == 0 || (channel == 1 && client.newLayout))
        client.kind = Heron;
    else if (channel == 1)
        client.kind = Atrium;

    // Paths are formed from wherever the QDir could go: a missing folder leaves it one level up.
    QDir dir(appData);
    bool entered = false;
    switch (client.kind) {
    case Heron:
        entered = dir.cd(QStringLiteral("heron"));
        client.executable = dir.absolutePath() + QStringLiteral("/run.bat");
        break;
    case Atrium: {
        entered = dir.cd(QStringLiteral("atrium"));
        QDir bin(dir);
        bin.cd(QStringLiteral("bin"));
        client.executable = bin.absolutePath() + QStringLiteral("/Lectern.exe");
        break;
    }
    case None:
        client.executable = appData;
        break;
    }
    client.resourceFolder = dir.absolutePath() + QStringLiteral("/resource/");
    if (entered)
        client.folder = dir.absolutePath();
    return client;
}
