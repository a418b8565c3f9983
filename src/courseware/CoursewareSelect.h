#ifndef COURSEWARESELECT_H
#define COURSEWARESELECT_H

#include "courseware/CoursewareList.h"

#include <QString>
#include <QTimer>
#include <QWidget>

namespace Ui {
class CoursewareSelect;
}

// The second window: lists the courseware of this device that passed its checks and opens
// the preparation window for the one the teacher picks.
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

private slots:
    // Sees the list reply too, to leave the waiting state when the request failed.
    void checkListReply(QString &body);
    // While waiting: how far the checks are.
    void showCheckProgress();

private:
    Ui::CoursewareSelect *ui;
    CoursewareList coursewareList;
    QTimer progressTimer;
};

#endif // COURSEWARESELECT_H
