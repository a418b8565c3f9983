#include "PathUtils.h"

#include "util/FilePath.h"

PathUtils::PathUtils(QString path, QObject *parent) : QObject(parent), basePath(path) { }

PathUtils &PathUtils::append(QString component)
{
    basePath = FilePath::withComponent(basePath, component);
    return *this;
}

QString PathUtils::path() const
{
    return basePath;
}
