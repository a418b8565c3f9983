#ifndef APPCONTEXT_H
#define APPCONTEXT_H

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

    QString settingText(const QString &key);
    int settingInt(const QString &key);
    // Re-reads config.ini; the tests rewrite it between cases.
    void reloadSettings();

    void setToken(QString value) { token = value; }

    // Student-client locations for channelId. Each call makes its own QDir and QSettings, so
    // pool threads may call them while the GUI thread does too.
    // Version text of the channel's client ("Server"/"version" of its config.ini), "" if none.
    QString clientVersion();
    // The file to start for the channel.
    QString clientExecutablePath();
    // The channel's resource folder, always ending in "/".
    QString clientResourcePath();
    // The channel's client folder, "" when there is none (no channel, or the folder is
    // missing and clientResourcePath() has fallen back to the application-data folder).
    QString clientFolder();
    bool clientInstalled() { return !clientFolder().isEmpty(); }

    // The one client-version rule: major > 0 or minor > 9. Parts that are not numbers count
    // as 0; a version without "." has minor 0, so "1" is new and "0" is not.
    static bool isNewClientVersion(const QString &version);
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
    static QString readClientVersion(const QString &appData, int channel);
    // The folder clientResourcePath() is formed from; *found tells whether the client's own
    // folder was reached.
    static QString resourceBase(const QString &appData, int channel, bool *found);

    QMutex settingsMutex;
};

#endif // APPCONTEXT_H
