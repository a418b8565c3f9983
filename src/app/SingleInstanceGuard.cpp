#include "SingleInstanceGuard.h"

#include <QMessageBox>

#ifdef Q_OS_WIN
#include <QSharedMemory>
#else
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN

SingleInstanceGuard::SingleInstanceGuard(const QString &key) : memory(new QSharedMemory)
{
    // The OS name of the segment is the key itself, so every build with this key sees the others.
    memory->setNativeKey(key);
    memory->create(1, QSharedMemory::ReadWrite);
    // Any failure, not only AlreadyExists, counts as another instance.
    claimed = memory->error() == QSharedMemory::NoError;
    if (!claimed) {
        // A failed create keeps a handle to the existing segment, which would keep it alive
        // after the first instance has ended, for as long as this refused start shows its box.
        delete memory;
        memory = nullptr;
    }
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    delete memory;
    memory = nullptr;
}

bool SingleInstanceGuard::isFirstInstance() const
{
    return claimed;
}

#else

// A native-key QSharedMemory here is a System V segment that survives a killed holder and a key
// file in the working directory; an flock()ed file is released by the kernel when the holder
// dies, whatever the folder it was started from.
QString SingleInstanceGuard::lockFilePath(const QString &key)
{
    // QStandardPaths would want the application object and may warn or create folders; the
    // guard runs before it exists, so the variable is read directly.
    const QString runtimeDir = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtimeDir.isEmpty() && QFileInfo(runtimeDir).isDir())
        return runtimeDir + QLatin1Char('/') + key + QStringLiteral(".lock");
    // The temp folder is shared by all users: the uid keeps one user's instance from refusing
    // another's, as a per-session name does on Windows.
    return QDir::tempPath() + QLatin1Char('/') + key + QLatin1Char('-')
            + QString::number(uint(::getuid())) + QStringLiteral(".lock");
}

SingleInstanceGuard::SingleInstanceGuard(const QString &key)
{
    const QByteArray path = QFile::encodeName(lockFilePath(key));
    // Close-on-exec: the student client started later must not inherit the lock.
    do {
        lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (lockFd < 0 && errno == EINTR);
    if (lockFd < 0)
        return;
    int result;
    do {
        result = ::flock(lockFd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    claimed = result == 0;
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    // The file stays: unlinking it would let a start that already opened it and one that
    // creates it anew both hold a lock.
    if (lockFd >= 0)
        ::close(lockFd);
    lockFd = -1;
    claimed = false;
}

bool SingleInstanceGuard::isFirstInstance() const
{
    return claimed;
}

#endif

void SingleInstanceGuard::showRefusal(QWidget *parent)
{
    QMessageBox::information(parent, QStringLiteral("提示"),
                             QStringLiteral("程序已经运行,请关闭之前程序"), QMessageBox::Ok,
                             QMessageBox::NoButton);
}
