#ifndef COURSEWARESELECT_H
#define COURSEWARESELECT_H

#include <QWidget>

// Placeholder until the selection window is built: it only registers itself.
class CoursewareSelect : public QWidget
{
    Q_OBJECT

public:
    explicit CoursewareSelect(QWidget *parent = nullptr);
};

#endif // COURSEWARESELECT_H
