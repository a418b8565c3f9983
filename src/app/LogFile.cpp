#include "LogFile.h"

bool LogFile::append(const QString &path, const QByteArray &record, QString *error)
{
    if (!isCurrent(path) && !open(path, error))
        return false;
    if (write(record, error))
        return true;
    // Dropped; the next record opens the file afresh.
    close();
    return false;
}
