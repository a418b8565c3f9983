#ifndef LOGFILE_H
#define LOGFILE_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The run's log file, kept open from one record to the next: opening and closing it for every
// record cost more than the record itself, and on Windows every close after a write is scanned
// by antivirus. Before each write it checks that the name still leads to the open file, so a log
// folder removed mid-run gets a new file. Used under the log handler's lock only.
class LogFile
{
public:
    LogFile() = default;
    ~LogFile();

    // Appends `record` to the file at `path` (relative to the working directory), making the
    // file and its folder when missing. A deferred record waits in memory, after those before
    // it, for the next record that is not deferred, flush(), or 64 KiB of records. On failure
    // *error holds the system's text, what waited is dropped, and the next call tries again.
    bool append(const QString &path, const QByteArray &record, bool defer, QString *error);
    bool flush(QString *error);
    void close();

private:
    Q_DISABLE_COPY(LogFile)

    bool isCurrent(const QString &path);
    bool open(const QString &path, QString *error);
    bool write(const QByteArray &record, QString *error);

    static constexpr int deferredLimit = 64 * 1024;

    QString openedPath;
    qintptr handle = -1;
    // What the open file is: its device and inode (on Windows its volume and file index, and the
    // full path it was opened under).
    quint64 device = 0;
    quint64 inode = 0;
    QString fullPath;
    QByteArray waiting; // deferred records
    QString waitingPath;
};

#endif // LOGFILE_H
