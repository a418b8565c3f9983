#ifndef COURSEWARERESOURCE_H
#define COURSEWARERESOURCE_H

#include "courseware/CopyFailure.h"
#include "courseware/ResourceElement.h"

#include <QFuture>
#include <QFutureInterface>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVector>

#include <atomic>
#include <memory>

class QJsonValue;
class ResourceCheck;

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
    // Once reported: why the courseware is not offered, in a teacher's words ("3 个文件缺失"),
    // or "" when it is.
    QString failureReason() const { return failure; }
    bool copyToLocalResourcePath();
    // After copyToLocalResourcePath, on its thread: the first cause of its failure.
    CopyFailure copyFailure() const { return lastCopyFailure; }
    // Runs on a pool thread: begins the check of the downloaded files against the announced
    // digests. Each file is hashed by a pool task of its own; the last one sets ready.
    void checkDisk();
    static void parseResourceElements(const QJsonValue &value, QVector<ResourceElement> &elements);

    // absolutePath/coursewareId/releaseVersion/
    QString downloadFolder() const;

    // How far the check is: the bytes of its files, and those done so far.
    qint64 checkBytes() const;
    qint64 checkedBytes() const;

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
    void finishCheck();

    bool checkStarted = false;
    bool parsed = false;
    // Why the resource-list request failed, in the teacher's words; empty when it did not.
    QString requestFailure;
    QString failure;
    CopyFailure lastCopyFailure;
    bool useCache = true;
    // Made by the check's first step on the pool; read by the GUI thread for the progress.
    std::unique_ptr<ResourceCheck> fileCheck;
    std::atomic<ResourceCheck *> runningCheck {nullptr};
    QFutureInterface<void> checkDone;
    QFuture<void> check;
    QFuture<void> begin;
};

#endif // COURSEWARERESOURCE_H
