#ifndef COURSEWARELIST_H
#define COURSEWARELIST_H

#include "courseware/CopyFailure.h"
#include "courseware/CoursewareInfo.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

class CoursewareResource;

// The courseware downloaded to this device: one record and one resource check per entry of
// the list reply, and one signal once every check has reported.
class CoursewareList : public QObject
{
    Q_OBJECT

public:
    explicit CoursewareList(QObject *parent = nullptr);
    // The list is the only holder of its resources.
    ~CoursewareList() override;

    // Runs the resource copy of the first courseware with this display name that passed its
    // check; with none, nothing is copied and the run ends failed. `why`, when given, gets the
    // first cause of a failure.
    bool copyToLocal(QString name, CopyFailure *why = nullptr);
    // Of that same courseware; "" when there is none.
    QString getTeacherId(QString name);
    QStringList getReadyCoursewareNames();
    // Once CoursewareResourceListReady has gone out: "<display name>：<reason>" for each
    // courseware not offered, in list order.
    QStringList failures() const;
    // Drops the records and checks of the last round, so that the next list reply is read as a
    // first one. Refused (false) while a copy runs: it reads them.
    bool startOver();
    // How far the checks of the courseware are, by bytes: 0 to 100, or -1 before any check
    // knows its files.
    int checkPercent() const;

    QList<CoursewareInfo> infos() const { return coursewareInfos; }
    QList<CoursewareResource *> resourceList() const { return resources; }

signals:
    // Never emitted: the window waits for CoursewareResourceListReady. It stays so that the
    // list's signals keep their places in the meta-object.
    void CoursewareListReady();
    void GetCoursewareResource();
    void CoursewareResourceListReady();

public slots:
    void on_get_coursewarelist(QString &body);
    void on_GetCoursewareResource();
    void on_CoursewareResourceStatChanged(bool bFinished);

private:
    static bool isChosen(const CoursewareResource *resource, const QString &name);

    QList<CoursewareInfo> coursewareInfos;
    QList<CoursewareResource *> resources;
    int reportedCount = 0;
    // Held by a copy, which runs on a pool thread, against a new round.
    QMutex copyMutex;
};

#endif // COURSEWARELIST_H
