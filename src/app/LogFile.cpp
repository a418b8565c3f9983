#include "LogFile.h"

bool LogFile::append(const QString &path, const QByteArray &record, bool defer, QString *error)
{
    if (!waiting.isEmpty() && path != waitingPath && !flush(error))
        return false;
    waiting.append(record);
    waitingPath = path;
    if (defer && waiting.size() < deferredLimit)
        return true;
    return flush(error);
}

bool LogFile::flush(QString *error)
{
    if (waiting.isEmpty())
        return true;
    bool written = (isCurrent(waitingPath) || open(waitingPath, error)) && write(waiting, error);
    // Written or dropped: the next record opens the file afresh when this one failed.
    waiting.resize(0);
    if (!written)
        close();
    return written;
}
