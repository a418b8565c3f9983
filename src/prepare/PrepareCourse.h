#ifndef PREPARECOURSE_H
#define PREPARECOURSE_H

#include <QString>
#include <QWidget>

class CoursewareList;

// Placeholder until the preparation window is built: it only keeps its arguments.
class PrepareCourse : public QWidget
{
    Q_OBJECT

public:
    PrepareCourse(QString displayName, CoursewareList *list, QWidget *parent = nullptr);

    QString chosenName() const { return displayName; }
    CoursewareList *list() const { return coursewareList; }

private:
    CoursewareList *coursewareList;
    QString displayName;
};

#endif // PREPARECOURSE_H
