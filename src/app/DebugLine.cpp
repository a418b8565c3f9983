#include "DebugLine.h"

#include <QDebug>

namespace {

// What QDebug writes as it is; anything else it escapes.
bool isPlain(const QString &text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '"' || u == '\\')
            return false;
        if (u >= 0x20 && u < 0x7f)
            continue;
        if (u < 0x80 || c.isSurrogate() || !c.isPrint())
            return false;
    }
    return true;
}

} // namespace

DebugLine::DebugLine(const char *file, int line, const char *function)
    : context(file, line, function, "default")
{
    message.reserve(256);
}

DebugLine::~DebugLine()
{
    qt_message_output(QtDebugMsg, context, message);
}

void DebugLine::separate()
{
    if (!first)
        message += QLatin1Char(' ');
    first = false;
}

DebugLine &DebugLine::operator<<(const QString &piece)
{
    separate();
    if (isPlain(piece)) {
        message += QLatin1Char('"');
        message += piece;
        message += QLatin1Char('"');
    } else {
        // Rare: let QDebug escape it, exactly as it would.
        QString escaped;
        QDebug(&escaped) << piece;
        message += escaped;
    }
    return *this;
}

DebugLine &DebugLine::operator<<(const char *piece)
{
    separate();
    message += QString::fromUtf8(piece);
    return *this;
}
