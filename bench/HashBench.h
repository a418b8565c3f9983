#ifndef HASHBENCH_H
#define HASHBENCH_H

#include <QStringList>

namespace Bench {

// FileUtils::getFileMd5 against md5sum over a tree of files, then the memory that hashing a
// large sparse file needs.
int runHash(const QStringList &args);

} // namespace Bench

#endif // HASHBENCH_H
