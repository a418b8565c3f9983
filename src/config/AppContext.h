#ifndef APPCONTEXT_H
#define APPCONTEXT_H

#include "config/StudentClient.h"

#include <QMutex>
#include <QString>

#include <atomic>

class QSettings;
class CoursewareSelect;

// The state one run shares between its windows and background tasks.
class AppContext
{
public:
    static AppContext &instance();

    // A setting's value: for the keys Group Policy may set, the policy's before config.ini's.
    QString settingText(const QString &key);
    int settingInt(const QString &key);
    // Each policy-governed setting's value and where it came from, one line each
    // ("Server/MD5 = 1 (config.ini)"), preceded by a line for each value passed over.
    QStringList settingsReport();
    // Writes settingsReport() to the log, one record a line.
    void logSettings();
    // Re-reads config.ini; the tests rewrite it between cases.
    void reloadSettings();

    void setToken(QString value) { token = value; }

    // The student client of channelId, decided once per run: every reader of the run sees the
    // same client, version and layout, also when its config.ini changes meanwhile. Decided
    // afresh only when the channel or APPDATA differ (the tests change both).
    StudentClient studentClient();
    // Its parts, as the windows and the copy read them.
    QString clientVersion() { return studentClient().version; }
    QString clientExecutablePath() { return studentClient().executable; }
    // Always ends in "/".
    QString clientResourcePath() { return studentClient().resourceFolder; }
    // APPDATA, read afresh at each call. Where it is unset or empty outside Windows, the
    // per-user data folder stands in for it rather than the working directory.
    static QString appDataPath();

    // Written by the copy task while the preparation window's timer reads them.
    std::atomic<int> totalFiles {0};
    std::atomic<int> copiedFiles {0};
    std::atomic<bool> resourcesReady {false};
    QString userName;
    QString managerId;
    CoursewareSelect *selectWindow = nullptr;
    int channelId = -1;
    QSettings *settings = nullptr;
    QString token;

private:
    AppContext();
    ~AppContext() = default;
    AppContext(const AppContext &) = delete;
    AppContext &operator=(const AppContext &) = delete;

    static QString settingsPath();

    QMutex settingsMutex;
    QMutex clientMutex;
    StudentClient client;
    int clientChannel = -2;
    QString clientAppData;
};

#endif // APPCONTEXT_H
