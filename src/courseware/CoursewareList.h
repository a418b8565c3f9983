#ifndef COURSEWARELIST_H
#define COURSEWARELIST_H

#include "courseware/CoursewareInfo.h"

#include <QList>
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
    // check; with none, nothing is copied and the run ends failed.
    bool copyToLocal(QString name);
    // Of that same courseware; "" when there is none.
    QString getTeacherId(QString name);
    QStringList getReadyCoursewareNames();
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
};

#endif // COURSEWARELIST_H
