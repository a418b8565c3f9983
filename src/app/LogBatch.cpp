#include "LogBatch.h"

#include "app/LogMessageHandler.h"

namespace {
thread_local int depth = 0;
} // namespace

LogBatch::LogBatch()
{
    ++depth;
}

LogBatch::~LogBatch()
{
    if (--depth == 0)
        flushLog();
}

bool LogBatch::isOpen()
{
    return depth > 0;
}

void LogBatch::writeOut()
{
    if (depth > 0)
        flushLog();
}
