#ifndef VERIFYBENCH_H
#define VERIFYBENCH_H

#include <QStringList>

namespace Bench {

// The courseware verification (ResourceCheck, one per courseware on the global pool) against
// md5sum in two parallel processes over the same files, and how long the GUI thread's event
// loop was blocked meanwhile.
int runVerify(const QStringList &args);
// The same from a cold page cache (root only: it empties the cache before each pass).
int runCold(const QStringList &args);

} // namespace Bench

#endif // VERIFYBENCH_H
