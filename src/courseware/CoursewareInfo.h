#ifndef COURSEWAREINFO_H
#define COURSEWAREINFO_H

#include <QString>

// One courseware of the list reply.
struct CoursewareInfo
{
    QString coursewareId;
    int releaseVersion = 0;
    QString displayName; // coursewareName + "_" + releaseVersion
    QString absolutePath;
    QString teacherId;
};

#endif // COURSEWAREINFO_H
