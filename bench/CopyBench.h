#ifndef COPYBENCH_H
#define COPYBENCH_H

#include <QStringList>

namespace Bench {

// The resource copy of one generated courseware (ResourceCopy) against cp -r of the same tree,
// both from a warm page cache.
int runCopy(const QStringList &args);

} // namespace Bench

#endif // COPYBENCH_H
