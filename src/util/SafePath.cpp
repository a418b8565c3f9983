#include "SafePath.h"

#include <QDir>
#include <QRegularExpression>
#include <QStringList>

namespace {

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

// Windows drops trailing dots and blanks from a component, so ".. " or "..." can act as "..".
bool isParentComponent(const QString &component)
{
    if (component == QLatin1String(".."))
        return true;
    int dots = 0;
    for (const QChar c : component) {
        if (c == QLatin1Char('.'))
            ++dots;
        else if (c != QLatin1Char(' '))
            return false;
    }
    return dots >= 2;
}

} // namespace

bool SafePath::isContained(const QString &relative)
{
    QString rest = relative;
    if (!rest.isEmpty() && isSeparator(rest.at(0)))
        rest.remove(0, 1);

    if (rest.contains(QChar(0)))
        return false;
    // A second leading separator: an absolute path, or "//server" / "\\server" (UNC).
    if (!rest.isEmpty() && isSeparator(rest.at(0)))
        return false;
    if (rest.size() >= 2 && rest.at(1) == QLatin1Char(':') && rest.at(0).isLetter())
        return false;
    if (QDir::isAbsolutePath(rest))
        return false;

    const QStringList components = rest.split(QRegularExpression(QStringLiteral("[/\\\\]")));
    for (const QString &component : components) {
        if (isParentComponent(component))
            return false;
    }
    return true;
}

bool SafePath::join(const QString &folder, const QString &relative, QString *joined)
{
    const QString result = folder + relative;
    if (joined)
        *joined = result;
    if (!isContained(relative))
        return false;

    const QString cleanFolder = QDir::cleanPath(folder);
    const QString cleanResult = QDir::cleanPath(result);
    if (cleanFolder.isEmpty())
        return true;
    if (cleanResult == cleanFolder)
        return true; // an empty relative path names the folder itself
    const QString prefix
            = cleanFolder.endsWith(QLatin1Char('/')) ? cleanFolder : cleanFolder + QLatin1Char('/');
    return cleanResult.startsWith(prefix);
}
