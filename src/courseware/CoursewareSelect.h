#ifndef COURSEWARESELECT_H
#define COURSEWARESELECT_H

#include "courseware/CoursewareList.h"

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

class SimpleHttpPost;

namespace Ui {
class CoursewareSelect;
}

// The second window: lists the courseware of this device that passed its checks, says why the
// others did not, and opens the preparation window for the one the teacher picks.
class CoursewareSelect : public QWidget
{
    Q_OBJECT

public:
    explicit CoursewareSelect(QWidget *parent = nullptr);
    ~CoursewareSelect() override;

public slots:
    // Does nothing: the choice is read when the start button is pressed. It stays as the combo
    // box's slot, the place where a reaction to the choice would go.
    void on_comboBox_currentTextChanged(const QString &text);
    void on_CoursewareListReady();
    void on_pushButton_clicked();
    // The re-check button and F5: once a check has ended, the list is asked for and checked
    // again, as on opening the window.
    void on_recheckButton_clicked();

private slots:
    // Sees the list reply too, to leave the waiting state when the request failed.
    void checkListReply(QString &body);
    // While waiting: how far the checks are.
    void showCheckProgress();

private:
    void requestList();
    void checkEnded();

    Ui::CoursewareSelect *ui;
    CoursewareList coursewareList;
    QTimer progressTimer;
    // The start button's text as the form sets it; the nothing-to-offer state changes it.
    QString startText;
    bool checking = true;
    // The list request of the current round: an earlier round's must not reach the list.
    QPointer<SimpleHttpPost> listRequest;
};

#endif // COURSEWARESELECT_H
