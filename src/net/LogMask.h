#ifndef LOGMASK_H
#define LOGMASK_H

#include <QString>

namespace LogMask {

// The text to log for a request body or reply: the value of every JSON member named
// "password" or "token" is replaced by a fixed mask, everything else is kept as it is.
QString maskSecrets(const QString &text);

// What the log keeps of a request body or reply: the masked text, and of a text longer than
// maxLoggedBytes (in UTF-8) its first maxLoggedBytes followed by the full length in bytes. Masked
// before it is cut, so a cut never shows part of a secret.
QString forLog(const QString &text);
constexpr int maxLoggedBytes = 64 * 1024;

// Any text that leaves the machine (a diagnostics package): maskSecrets, and also the values of
// "password" and "token" written as key=value or key: value, and the password of an address's
// user info.
QString maskText(const QString &text);

extern const QLatin1String mask;

} // namespace LogMask

#endif // LOGMASK_H
