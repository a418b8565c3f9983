#ifndef LOGMASK_H
#define LOGMASK_H

#include <QString>

namespace LogMask {

// The text to log for a request body or reply: the value of every JSON member named
// "password" or "token" is replaced by a fixed mask, everything else is kept as it is.
QString maskSecrets(const QString &text);

extern const QLatin1String mask;

} // namespace LogMask

#endif // LOGMASK_H
