#ifndef LOGBENCH_H
#define LOGBENCH_H

#include <QStringList>

namespace Bench {

// What a log record costs: the verification's two lines a file through the program's own log
// handler into a log file, each written at once and in a batch. Runs on every platform (under
// Wine too), as it needs no other tool.
int runLog(const QStringList &args);

} // namespace Bench

#endif // LOGBENCH_H
