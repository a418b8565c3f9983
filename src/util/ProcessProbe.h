#ifndef PROCESSPROBE_H
#define PROCESSPROBE_H

#include <QString>
#include <QStringList>

// Asks the system whether a program is running, by its process name.
class ProcessProbe
{
public:
    // Windows: the output of "tasklist" contains name, ignoring case. Elsewhere: one of the
    // running processes' names equals name, ignoring case.
    static bool isRunning(const QString &name);

    // The names of the running processes, from /proc: each process's comm and the file name
    // of its first command-line argument (comm is cut to 15 characters). Empty on Windows.
    static QStringList runningNames();
};

#endif // PROCESSPROBE_H
