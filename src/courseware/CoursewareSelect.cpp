#include "CoursewareSelect.h"

#include "config/AppContext.h"

CoursewareSelect::CoursewareSelect(QWidget *parent) : QWidget(parent)
{
    AppContext::instance().selectWindow = this;
    setWindowTitle(QStringLiteral(" Corvin助手"));
}
