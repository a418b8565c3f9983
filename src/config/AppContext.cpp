#include "AppContext.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcessEnvironment>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

AppContext &AppContext::instance()
{
    static AppContext context;
    return context;
}

AppContext::AppContext() : settings(new QSettings(settingsPath(), QSettings::IniFormat)) { }

QString AppContext::settingsPath()
{
    return QDir(QCoreApplication::applicationDirPath()).absolutePath()
            + QStringLiteral("/config.ini");
}

QString AppContext::settingText(const QString &key)
{
    QMutexLocker locker(&settingsMutex);
    return settings->value(key, QVariant()).toString();
}

int AppContext::settingInt(const QString &key)
{
    QMutexLocker locker(&settingsMutex);
    return settings->value(key, QVariant(1)).toInt();
}

void AppContext::reloadSettings()
{
    QMutexLocker locker(&settingsMutex);
    delete settings;
    settings = new QSettings(settingsPath(), QSettings::IniFormat);
}

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

QString AppContext::appDataPath()
{
    const QString value
            = QProcessEnvironment::systemEnvironment().value(QStringLiteral("APPDATA"), QString());
#ifndef Q_OS_WIN
    if (value.isEmpty())
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#endif
    return value;
}

bool AppContext::isNewClientVersion(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    const int major = parts.value(0).toInt();
    const int minor = parts.size() > 1 ? parts.at(1).toInt() : 0;
    return major > 0 || minor > 9;
}

QString AppContext::readClientVersion(const QString &appData, int channel)
{
    if (channel == 1) {
        const QString atrium = versionInFolder(appData, QStringLiteral("atrium"));
        if (!atrium.isEmpty())
            return atrium;
    }
    return versionInFolder(appData, QStringLiteral("heron"));
}

QString AppContext::clientVersion()
{
    return readClientVersion(appDataPath(), channelId);
}

QString AppContext::clientExecutablePath()
{
    // One reading of the channel and of APPDATA for the whole answer.
    const int channel = channelId;
    const QString appData = appDataPath();
    QDir dir(appData);
    if (channel == 0) {
        dir.cd(QStringLiteral("heron"));
        return dir.absolutePath() + QStringLiteral("/run.bat");
    }
    if (channel == 1) {
        const QString version = readClientVersion(appData, channel);
        if (!version.isEmpty() && isNewClientVersion(version)) {
            dir.cd(QStringLiteral("heron"));
            return dir.absolutePath() + QStringLiteral("/run.bat");
        }
        dir.cd(QStringLiteral("atrium"));
        dir.cd(QStringLiteral("bin"));
        return dir.absolutePath() + QStringLiteral("/Lectern.exe");
    }
    return appData;
}

QString AppContext::resourceBase(const QString &appData, int channel, bool *found)
{
    QDir dir(appData);
    bool entered = false;
    if (channel == 0) {
        entered = dir.cd(QStringLiteral("heron"));
    } else if (channel == 1) {
        const QString version = readClientVersion(appData, channel);
        if (!version.isEmpty() && isNewClientVersion(version))
            entered = dir.cd(QStringLiteral("heron"));
        else
            entered = dir.cd(QStringLiteral("atrium"));
    }
    if (found)
        *found = entered;
    return dir.absolutePath();
}

QString AppContext::clientResourcePath()
{
    return resourceBase(appDataPath(), channelId, nullptr) + QStringLiteral("/resource/");
}

QString AppContext::clientFolder()
{
    bool found = false;
    const QString folder = resourceBase(appDataPath(), channelId, &found);
    return found ? folder : QString();
}
