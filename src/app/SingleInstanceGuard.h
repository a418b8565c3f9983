#ifndef SINGLEINSTANCEGUARD_H
#define SINGLEINSTANCEGUARD_H

#include <QString>
#include <QtGlobal>

#ifdef Q_OS_WIN
class QSharedMemory;
#endif
class QWidget;

// Claims a system-wide name for the lifetime of the object; a later instance that uses the same
// key is told that it is not the first one. Built before the application object exists.
class SingleInstanceGuard
{
public:
    explicit SingleInstanceGuard(const QString &key);
    ~SingleInstanceGuard();

    bool isFirstInstance() const;

    // The information box a refused start shows before it returns -1.
    static void showRefusal(QWidget *parent);

#ifndef Q_OS_WIN
    // The lock file standing for `key`: in the user's runtime folder, else under the temp folder.
    static QString lockFilePath(const QString &key);
#endif

private:
    Q_DISABLE_COPY(SingleInstanceGuard)

#ifdef Q_OS_WIN
    QSharedMemory *memory = nullptr;
#else
    int lockFd = -1;
#endif
    bool claimed = false;
};

#endif // SINGLEINSTANCEGUARD_H
