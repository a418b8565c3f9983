#include "AppContext.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>

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
