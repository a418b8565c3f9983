#ifndef DEBUGLINE_H
#define DEBUGLINE_H

#include <QMessageLogContext>
#include <QString>

// One debug message with the very text qDebug() gives the same pieces (strings quoted, pieces
// separated by one blank), made without a QDebug stream: the verification and the copy log two
// lines for each of many thousand files, and the stream costs more than the rest of the line.
// The message goes out when the object ends.
class DebugLine
{
public:
    DebugLine(const char *file, int line, const char *function);
    ~DebugLine();
    DebugLine(const DebugLine &) = delete;
    DebugLine &operator=(const DebugLine &) = delete;

    // Quoted, with QDebug's escapes.
    DebugLine &operator<<(const QString &piece);
    // As it stands (UTF-8), like a string literal.
    DebugLine &operator<<(const char *piece);

    // The text of the message so far.
    const QString &text() const { return message; }

private:
    void separate();

    QMessageLogContext context;
    QString message;
    bool first = true;
};

// In place of qDebug(), for lines logged per file.
#define corvinDebugLine() DebugLine(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC)

#endif // DEBUGLINE_H
