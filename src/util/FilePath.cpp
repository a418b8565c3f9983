#include "FilePath.h"

#include <QDir>
#include <QFileInfo>
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

// Whether cleaning would change nothing in a path: no "//", no "." or ".." component, no
// backslash (most paths, so that the many of a large courseware need no cleaning).
bool looksClean(const QString &path)
{
    const QChar *c = path.constData();
    const int n = path.size();
    for (int i = 0; i < n; ++i) {
        if (c[i] == QLatin1Char('\\'))
            return false;
        if (c[i] == QLatin1Char('.') && (i == 0 || c[i - 1] == QLatin1Char('/'))) {
            const int end = i + 1 < n && c[i + 1] == QLatin1Char('.') ? i + 2 : i + 1;
            if (end == n || c[end] == QLatin1Char('/'))
                return false;
        }
        if (c[i] == QLatin1Char('/') && i + 1 < n && c[i + 1] == QLatin1Char('/') && i > 0)
            return false;
    }
    return n == 0 || c[n - 1] != QLatin1Char('/');
}

} // namespace

bool FilePath::isContained(const QString &relative)
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

bool FilePath::join(const QString &folder, const QString &relative, QString *joined)
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

QString FilePath::resolved(const QString &path, const QString &folder)
{
    if (QDir::isAbsolutePath(path))
        return path;
    return folder + QLatin1Char('/') + path;
}

QString FilePath::withComponent(const QString &base, const QString &component)
{
    QString path = base;
    if (!isSeparator(path.isEmpty() ? QChar() : path.back()))
        path += QLatin1Char('/');
    if (!component.isEmpty() && isSeparator(component.front()))
        path += QStringView(component).mid(1);
    else
        path += component;
    if (!isSeparator(path.isEmpty() ? QChar() : path.back()))
        path += QLatin1Char('/');
    return path;
}

Qt::CaseSensitivity FilePath::caseSensitivity()
{
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
    return Qt::CaseInsensitive;
#else
    return Qt::CaseSensitive;
#endif
}

QString FilePath::fileKey(const QString &path)
{
    const QString clean = looksClean(path) ? path : QDir::cleanPath(path);
    return caseSensitivity() == Qt::CaseInsensitive ? clean.toCaseFolded() : clean;
}

QString FilePath::extended(const QString &path, const QString &base)
{
    // Windows' rules, spelled out so that they hold (and can be tested) on every platform.
    QString clean = path;
    clean.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (clean.startsWith(QLatin1String("//?/")) || clean.startsWith(QLatin1String("//./")))
        return path;
    const auto isShare = [](const QString &name) {
        return name.startsWith(QLatin1String("//"));
    };
    const auto isDrive = [](const QString &name) {
        return name.size() >= 3 && name.at(0).isLetter() && name.at(1) == QLatin1Char(':')
                && name.at(2) == QLatin1Char('/');
    };
    // Made absolute before the kind is told: a relative path under a share is on that share.
    if (clean.size() >= 2 && clean.at(0).isLetter() && clean.at(1) == QLatin1Char(':')
        && !isDrive(clean)) {
        // "C:x" is in that drive's own current folder, which only the system knows.
        clean = QFileInfo(clean).absoluteFilePath();
    } else if (!isShare(clean) && !isDrive(clean)) {
        QString folder = base.isEmpty() ? QDir::currentPath() : base;
        folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (!clean.startsWith(QLatin1Char('/'))) {
            clean = folder + QLatin1Char('/') + clean;
        } else if (isDrive(folder)) {
            // "\\x" is on the working directory's drive, or at its share's root.
            clean = folder.left(2) + clean;
        } else if (isShare(folder)) {
            const int share
                    = folder.indexOf(QLatin1Char('/'), folder.indexOf(QLatin1Char('/'), 2) + 1);
            clean = (share < 0 ? folder : folder.left(share)) + clean;
        }
    }
    const bool share = isShare(clean);
    // cleanPath would fold the share's leading "//" into one outside Windows.
    QString rest = QDir::cleanPath(share ? clean.mid(2) : clean);
    // "C:" alone names the drive's current folder, not its root.
    if (rest.endsWith(QLatin1Char(':')))
        rest += QLatin1Char('/');
    rest.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return (share ? QStringLiteral("\\\\?\\UNC\\") : QStringLiteral("\\\\?\\")) + rest;
}

bool FilePath::liesInside(const QString &resolved, const QString &resolvedFolder)
{
    if (resolved.isEmpty() || resolvedFolder.isEmpty())
        return false;
    QString folder = resolvedFolder;
    if (!folder.endsWith(QLatin1Char('\\')) && !folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('\\');
    return resolved.startsWith(folder, Qt::CaseInsensitive);
}
