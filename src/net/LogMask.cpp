#include "LogMask.h"

#include <QRegularExpression>

namespace LogMask {

const QLatin1String mask("\"******\"");

namespace {

bool isSecretKey(const QStringRef &key)
{
    return key == QLatin1String("password") || key == QLatin1String("token");
}

// Index just past the string literal that starts with the quote at `from`, or -1.
int skipString(const QString &text, int from)
{
    for (int i = from + 1; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('\\'))
            ++i;
        else if (text.at(i) == QLatin1Char('"'))
            return i + 1;
    }
    return -1;
}

int skipSpace(const QString &text, int from)
{
    while (from < text.size() && text.at(from).isSpace())
        ++from;
    return from;
}

// Index just past the JSON value that starts at `from`. Works on malformed text too: an
// unterminated value runs to the end of the text.
int skipValue(const QString &text, int from)
{
    if (from >= text.size())
        return from;
    const QChar first = text.at(from);
    if (first == QLatin1Char('"')) {
        const int end = skipString(text, from);
        return end < 0 ? text.size() : end;
    }
    if (first == QLatin1Char('{') || first == QLatin1Char('[')) {
        int depth = 0;
        for (int i = from; i < text.size(); ++i) {
            const QChar c = text.at(i);
            if (c == QLatin1Char('"')) {
                const int end = skipString(text, i);
                if (end < 0)
                    return text.size();
                i = end - 1;
            } else if (c == QLatin1Char('{') || c == QLatin1Char('[')) {
                ++depth;
            } else if (c == QLatin1Char('}') || c == QLatin1Char(']')) {
                if (--depth == 0)
                    return i + 1;
            }
        }
        return text.size();
    }
    int i = from;
    while (i < text.size() && text.at(i) != QLatin1Char(',') && text.at(i) != QLatin1Char('}')
           && text.at(i) != QLatin1Char(']') && !text.at(i).isSpace())
        ++i;
    return i;
}

} // namespace

QString maskSecrets(const QString &text)
{
    if (!text.contains(QLatin1String("password")) && !text.contains(QLatin1String("token")))
        return text;

    QString result;
    result.reserve(text.size());
    int copied = 0;
    int i = 0;
    while (i < text.size()) {
        if (text.at(i) != QLatin1Char('"')) {
            ++i;
            continue;
        }
        const int keyEnd = skipString(text, i);
        if (keyEnd < 0)
            break;
        const int colon = skipSpace(text, keyEnd);
        if (colon < text.size() && text.at(colon) == QLatin1Char(':')
            && isSecretKey(text.midRef(i + 1, keyEnd - i - 2))) {
            const int valueStart = skipSpace(text, colon + 1);
            const int valueEnd = skipValue(text, valueStart);
            result += text.midRef(copied, valueStart - copied);
            result += mask;
            copied = valueEnd;
            i = valueEnd;
        } else {
            i = keyEnd;
        }
    }
    result += text.midRef(copied);
    return result;
}

QString maskText(const QString &text)
{
    QString masked = maskSecrets(text);
    static const QRegularExpression keyValue(
            QStringLiteral("((?:password|passwd|pwd|token)\\s*[=:]\\s*)[^\\s,;&\"]+"),
            QRegularExpression::CaseInsensitiveOption);
    masked.replace(keyValue, QStringLiteral("\\1******"));
    static const QRegularExpression userInfo(QStringLiteral("(://[^/\\s:@]*):[^/\\s@]*@"));
    masked.replace(userInfo, QStringLiteral("\\1:******@"));
    return masked;
}

QString forLog(const QString &text)
{
    const QString masked = maskSecrets(text);
    const QByteArray bytes = masked.toUtf8();
    if (bytes.size() <= maxLoggedBytes)
        return masked;
    // Not inside a character: back to the start of the UTF-8 sequence at the cut.
    int cut = maxLoggedBytes;
    while (cut > 0 && (static_cast<unsigned char>(bytes.at(cut)) & 0xc0) == 0x80)
        --cut;
    return QString::fromUtf8(bytes.constData(), cut)
            + QStringLiteral("... (%1 bytes)").arg(text.toUtf8().size());
}

} // namespace LogMask
