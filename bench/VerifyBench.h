#ifndef VERIFYBENCH_H
#define VERIFYBENCH_H

#include <QStringList>

namespace Bench {

// The courseware verification (CoursewareResource, in-process stand-in service) against
// md5sum in two parallel processes over the same files, and how long the GUI thread's event
// loop was blocked meanwhile.
int runVerify(const QStringList &args);

} // namespace Bench

#endif // VERIFYBENCH_H
