#include "PrepareCourse.h"

PrepareCourse::PrepareCourse(QString displayName, CoursewareList *list, QWidget *parent)
    : QWidget(parent), coursewareList(list), displayName(displayName)
{
    setWindowTitle(QStringLiteral(" Corvin助手"));
}
