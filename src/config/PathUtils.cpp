#include "PathUtils.h"

namespace {

bool endsWithSeparator(const QString &path)
{
    return path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\'));
}

} // namespace

PathUtils::PathUtils(QString path, QObject *parent) : QObject(parent), basePath(path) { }

PathUtils &PathUtils::append(QString component)
{
    if (!endsWithSeparator(basePath))
        basePath += QLatin1Char('/');
    if (component.startsWith(QLatin1Char('/')) || component.startsWith(QLatin1Char('\\')))
        component.remove(0, 1);
    basePath += component;
    if (!endsWithSeparator(basePath))
        basePath += QLatin1Char('/');
    return *this;
}

QString PathUtils::path() const
{
    return basePath;
}
