#include "SafePath.h"

#include <QDir>
#include <QStringView>

namespace {

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

// Windows drops trailing dots and blanks from a component, so ".. " or "..." can act as "..".
bool isParentComponent(QStringView component)
{
    int dots = 0;
    for (const QChar c : component) {
        if (c == QLatin1Char('.'))
            ++dots;
        else if (c != QLatin1Char(' '))
            return false;
    }
    return dots >= 2;
}

// Names Windows takes for a device in any folder and with any extension: "nul.txt" is NUL.
// Looked at without copying: the check runs for every file of a courseware.
bool isDeviceName(QStringView component)
{
    // Every device name has three letters before its digit, "$" or end: most names are ruled out
    // by their length before their letters are looked at.
    int length = int(component.indexOf(QLatin1Char('.')));
    if (length < 0)
        length = int(component.size());
    while (length > 0 && component.at(length - 1) == QLatin1Char(' '))
        --length;
    if (length < 3 || length > 7)
        return false;
    const QStringView base = component.left(length);
    if (base.size() == 4
        && (base.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)
            || base.startsWith(QLatin1String("LPT"), Qt::CaseInsensitive))) {
        const QChar digit = base.at(3);
        return (digit >= QLatin1Char('1') && digit <= QLatin1Char('9')) || digit == QChar(0x00B9)
                || digit == QChar(0x00B2) || digit == QChar(0x00B3);
    }
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (base.compare(QLatin1String(device), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Windows turns these into another file: a stream of a file ("a.mp4:hidden"), or a name it
// strips of its trailing dots and blanks ("x." is "x").
bool isAnotherFileOnWindows(QStringView component)
{
    if (component.contains(QLatin1Char(':')))
        return true;
    return component != QLatin1String(".")
            && (component.endsWith(QLatin1Char('.')) || component.endsWith(QLatin1Char(' ')));
}

} // namespace

bool SafePath::isContained(const QString &relative)
{
    QStringView rest(relative);
    if (!rest.isEmpty() && isSeparator(rest.at(0)))
        rest = rest.mid(1);

    if (rest.contains(QChar(0)))
        return false;
    // A second leading separator: an absolute path, or "//server" / "\\server" (UNC).
    if (!rest.isEmpty() && isSeparator(rest.at(0)))
        return false;
    if (rest.size() >= 2 && rest.at(1) == QLatin1Char(':') && rest.at(0).isLetter())
        return false;
    // Every other absolute form starts with a ":" (a Qt resource), which no component may hold.

    for (qsizetype start = 0; start <= rest.size();) {
        qsizetype end = start;
        while (end < rest.size() && !isSeparator(rest.at(end)))
            ++end;
        const QStringView component = rest.mid(start, end - start);
        if (isParentComponent(component) || isDeviceName(component)
            || isAnotherFileOnWindows(component))
            return false;
        start = end + 1;
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
    // A relative path that passed those checks cannot climb out of a folder that ends in a
    // separator: no cleaning needed (the copy and the check join tens of thousands of names).
    if (!folder.isEmpty() && isSeparator(folder.at(folder.size() - 1)))
        return true;

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
