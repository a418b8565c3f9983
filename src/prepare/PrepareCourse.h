#ifndef PREPARECOURSE_H
#define PREPARECOURSE_H

#include "courseware/CopyFailure.h"

#include <QFutureWatcher>
#include <QString>
#include <QTimer>
#include <QWidget>

class CoursewareList;
class QEventLoop;

namespace Ui {
class PrepareCourse;
}

// Third window: copies the chosen courseware into the student client on the thread pool,
// shows the progress, then either seats the teacher and offers the client's start, or shows
// the failure and leads back to the selection window.
class PrepareCourse : public QWidget
{
    Q_OBJECT

public:
    PrepareCourse(QString displayName, CoursewareList *list, QWidget *parent = nullptr);
    ~PrepareCourse() override;

    void replaceClassStudent();
    void StartClient();

protected:
    // A closed window decides nothing more: no class-student request after the close.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButton_clicked();
    void on_timer();
    void on_CopyCourseware();
    void on_ImportFileFinished();
    void on_replaceClassStudent(QString body);

private:
    Ui::PrepareCourse *ui;
    CoursewareList *coursewareList;
    QTimer timer;
    QFutureWatcher<void> *watcher = nullptr;
    bool failed = false;
    QString displayName;
    // Written by the copy task, read once it has ended.
    CopyFailure copyFailure;
    bool seatReplyPending = false;
    QEventLoop *seatWait = nullptr;
};

#endif // PREPARECOURSE_H
