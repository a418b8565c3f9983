#include "AppContext.h"

#include "config/SettingSources.h"

#include <QCoreApplication>
#include <QDebug>
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
    if (SettingSources::governs(key))
        return SettingSources::resolve(key, *settings).value.toString();
    return settings->value(key, QVariant()).toString();
}

int AppContext::settingInt(const QString &key)
{
    QMutexLocker locker(&settingsMutex);
    if (SettingSources::governs(key))
        return SettingSources::resolve(key, *settings).value.toInt();
    return settings->value(key, QVariant(1)).toInt();
}

QStringList AppContext::settingsReport()
{
    QMutexLocker locker(&settingsMutex);
    QStringList lines;
    for (const QString &key : SettingSources::keys()) {
        QStringList ignored;
        const SettingSources::Setting setting = SettingSources::resolve(key, *settings, &ignored);
        for (const QString &reason : ignored)
            lines.append(QStringLiteral("ignored %1").arg(reason));
        lines.append(QStringLiteral("%1 = %2 (%3)")
                             .arg(key, SettingSources::shown(key, setting.value),
                                  SettingSources::sourceName(setting.source)));
    }
    return lines;
}

void AppContext::logSettings()
{
    for (const QString &line : settingsReport())
        qDebug().noquote() << "[AppContext][settings]" << line;
}

void AppContext::reloadSettings()
{
    QMutexLocker locker(&settingsMutex);
    delete settings;
    settings = new QSettings(settingsPath(), QSettings::IniFormat);
}

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

StudentClient AppContext::studentClient()
{
    // One reading of the channel and of APPDATA for the whole answer.
    const int channel = channelId;
    const QString appData = appDataPath();
    QMutexLocker locker(&clientMutex);
    if (channel != clientChannel || appData != clientAppData) {
        client = StudentClient::forChannel(channel, appData);
        clientChannel = channel;
        clientAppData = appData;
    }
    return client;
}
