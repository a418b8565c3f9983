#ifndef CRASHLOGGATE_H
#define CRASHLOGGATE_H

// The one thing the crash path needs of the log: whether a line can be written within a wait,
// asked without ever holding the log's lock. The log registers the answer; crash/ knows no
// more of it.
namespace CrashLogGate {

// True when a line written now would not wait longer than `waitMs` on the log.
using Check = bool (*)(int waitMs);

// Set once by the log, before the crash handler is installed.
void set(Check check);
// The registered answer; true when no log registered one.
bool lineCanBeWritten(int waitMs);

} // namespace CrashLogGate

#endif // CRASHLOGGATE_H
