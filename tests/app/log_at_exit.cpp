// Logs one message in main and one during static destruction, after exit(): the second must
// land in the run's log file like the first.
#include "app/LogMessageHandler.h"

#include <QDebug>

#include <cstdlib>

namespace {
struct LogsAtExit
{
    ~LogsAtExit() { qDebug() << "logged during static destruction"; }
};
} // namespace

// Made before any other static object of the program, so destroyed after all of them.
__attribute__((init_priority(101))) LogsAtExit logsAtExit;

int main()
{
    // Made at run time, as main makes it: its text lives on the heap.
    runTimestamp = QString::number(20261208093000LL);
    qInstallMessageHandler(logMessageHandler);
    qDebug() << "logged in main";
    std::exit(0);
}
