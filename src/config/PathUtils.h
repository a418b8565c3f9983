#ifndef PATHUTILS_H
#define PATHUTILS_H

#include <QObject>
#include <QString>

// Builds a folder path one component at a time: exactly one separator between components and
// always one at the end. Made and used inside one task, never shared between threads.
class PathUtils : public QObject
{
    Q_OBJECT

public:
    explicit PathUtils(QString path, QObject *parent = nullptr);

    // A leading "/" or "\" of the component is dropped; a component of several levels
    // (a/b) is taken whole.
    PathUtils &append(QString component);
    QString path() const;

private:
    QString basePath;
};

#endif // PATHUTILS_H
