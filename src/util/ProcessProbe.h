#ifndef PROCESSPROBE_H
#define PROCESSPROBE_H

#include <QString>
#include <QStringList>

// Asks the system whether a program is running, by its process name.
class ProcessProbe
{
public:
    // One of the running processes' names equals name, ignoring case.
    static bool isRunning(const QString &name);

    // The names of the running processes. Windows: each process's image file name from the
    // process snapshot. Elsewhere, from /proc: each process's comm and the file name of its
    // first command-line argument (comm is cut to 15 characters).
    static QStringList runningNames();
};

#endif // PROCESSPROBE_H
