#ifndef SMALLFILESBENCH_H
#define SMALLFILESBENCH_H

#include <QStringList>

namespace Bench {

// A web-style courseware of many small files, verified and copied as a teacher's run does it
// (CoursewareResource, with every log line going into a log file) against md5sum in two
// processes and cp -r: the cost per file rather than per byte.
int runSmallFiles(const QStringList &args);

} // namespace Bench

#endif // SMALLFILESBENCH_H
