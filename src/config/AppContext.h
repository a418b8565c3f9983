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
};

#endif // APPCONTEXT_H
