#ifndef COURSEWARERESOURCE_H
#define COURSEWARERESOURCE_H

#include "courseware/ResourceElement.h"

#include <QFuture>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <atomic>

class QJsonValue;

// One downloaded courseware: asks the service for its file list, verifies the downloaded
// files against the announced digests and later copies them into the student client.
class CoursewareResource : public QObject
{
    Q_OBJECT

public:
    CoursewareResource(QString displayName, QString teacherId, QString absolutePath,
                       QString coursewareId, int releaseVersion, QObject *parent = nullptr);
    // Waits for a check still running on the pool: it reads this object.
    ~CoursewareResource() override;

    bool isReady() const { return ready; }
    bool copyToLocalResourcePath();
    // Runs on a pool thread; sets ready from the digests of the downloaded files.
    void checkDisk();
    static void parseResourceElements(const QJsonValue &value, QVector<ResourceElement> &elements);

    // absolutePath/coursewareId/releaseVersion/
    QString downloadFolder() const;

    // Read by the pool thread after the parse and by the GUI thread in the report slot.
    std::atomic<bool> ready {false};
    QString displayName;
    QString resourceDes;
    QString resourceName;
    QString absolutePath;
    QString coursewareId;
    QString teacherId;
    int releaseVersion = 0;
    QVector<ResourceElement> flowConfList;
    QVector<ResourceElement> resourceElements;

signals:
    void CoursewareResourceStatChanged(bool bFinished);

public slots:
    void on_CoursewareResource_2(QString body);
    void on_CheckMD5Finished();

private:
    void startCheck();
    // Hashes every file of the list below folder; a failed file's path goes into failedPaths.
    bool checkFiles(const QString &folder, const QVector<ResourceElement> &list,
                    QSet<QString> *failedPaths) const;

    bool checkStarted = false;
    QFuture<void> check;
};

#endif // COURSEWARERESOURCE_H
