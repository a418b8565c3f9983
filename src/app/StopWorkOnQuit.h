#ifndef STOPWORKONQUIT_H
#define STOPWORKONQUIT_H

class QCoreApplication;

// On quit, file work still running on the thread pool (the verification, the copy) stops at its
// next chunk or file: the process ends at once, not once gigabytes are done with no window left.
class StopWorkOnQuit
{
public:
    static void install(QCoreApplication &app);
};

#endif // STOPWORKONQUIT_H
