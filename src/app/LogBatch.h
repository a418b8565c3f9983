#ifndef LOGBATCH_H
#define LOGBATCH_H

// While one lives on a thread, the log records of that thread may wait in memory and go to the
// file and the console together when the last batch of the thread ends: a write per record would
// cost more than the work of many thousand small files it reports. A record of another thread, or
// 64 KiB of waiting records, writes out what waits first, so the file keeps the order of the
// messages. For loops that log per file; everything else writes each record at once.
class LogBatch
{
public:
    LogBatch();
    ~LogBatch();
    LogBatch(const LogBatch &) = delete;
    LogBatch &operator=(const LogBatch &) = delete;

    static bool isOpen();
    // Writes out what waits, for a thread about to work a long while without logging: its
    // records are not to sit in memory meanwhile.
    static void writeOut();
};

#endif // LOGBATCH_H
