#include "util/FileUtils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "TestSupport.h"

#include <atomic>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The system calls of the copy, defined here so that a test can make them answer as some file
// systems do; otherwise they go straight to the kernel.
namespace {
enum Quirk { ZeroFromCopyRange = 1, ZeroFromSendfile = 2, ModeRefused = 4, ModeUnsupported = 8 };
std::atomic<int> quirks {0};
} // namespace

extern "C" ssize_t copy_file_range(int in, loff_t *inOffset, int out, loff_t *outOffset,
                                   size_t length, unsigned int flags)
{
    if (quirks & ZeroFromCopyRange)
        return 0;
    return syscall(SYS_copy_file_range, in, inOffset, out, outOffset, length, flags);
}

extern "C" ssize_t sendfile(int out, int in, off_t *offset, size_t count)
{
    if (quirks & ZeroFromSendfile)
        return 0;
    return syscall(SYS_sendfile, out, in, offset, count);
}

extern "C" int fchmod(int fd, mode_t mode)
{
    if (quirks & (ModeRefused | ModeUnsupported)) {
        errno = (quirks & ModeRefused) ? EPERM : ENOTSUP;
        return -1;
    }
    return int(syscall(SYS_fchmod, fd, mode));
}
#endif

// FileUtils::copyFile's own data path on Linux (in the kernel, no sync): content, permissions,
// no leftovers, and copies between file systems.
class tst_FileCopy : public QObject
{
    Q_OBJECT

private slots:
    void contentAndPermissions_data();
    void contentAndPermissions();
    void acrossFileSystems();
    void emptyFile();
    void folderAsSourceFails();
    void fallbacks_data();
    void fallbacks();
    void failureReasons_data();
    void failureReasons();
};

namespace {

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 4096) & 0xff);
    return bytes;
}

bool write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(content) == content.size();
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

void tst_FileCopy::contentAndPermissions_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("executable");
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("small") << 17 << false << false;
    QTest::newRow("several MiB, executable") << 5 * 1024 * 1024 + 3 << true << false;
    QTest::newRow("replaces a longer target") << 1000 << false << true;
}

void tst_FileCopy::contentAndPermissions()
{
    QFETCH(int, size);
    QFETCH(bool, executable);
    QFETCH(bool, targetExists);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString source = temp.path() + QStringLiteral("/in/source.bin");
    const QString target = temp.path() + QStringLiteral("/out/sub/target.bin");
    QVERIFY(QDir().mkpath(QFileInfo(source).path()));
    const QByteArray content = pattern(size);
    QVERIFY(write(source, content));
    QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner
            | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (executable)
        permissions |= QFileDevice::ExeOwner | QFileDevice::ExeGroup;
    QVERIFY(QFile::setPermissions(source, permissions));
    if (targetExists) {
        QVERIFY(QDir().mkpath(QFileInfo(target).path()));
        QVERIFY(write(target, pattern(size * 3)));
    }

    QVERIFY(FileUtils::copyFile(source, target));
    QCOMPARE(read(target), content);
    const QFileDevice::Permissions mask = QFileDevice::ReadOwner | QFileDevice::WriteOwner
            | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
            | QFileDevice::ExeOther;
#ifdef Q_OS_WIN
    // Windows keeps no mode bits, only the read-only attribute.
    Q_UNUSED(mask)
    QCOMPARE(QFileInfo(target).isWritable(), QFileInfo(source).isWritable());
#else
    QCOMPARE(QFile::permissions(target) & mask, permissions);
#endif
    // Nothing but the target is left in its folder.
    QCOMPARE(QDir(QFileInfo(target).path())
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList {QStringLiteral("target.bin")});
    QCOMPARE(read(source), content);
}

void tst_FileCopy::acrossFileSystems()
{
    if (!QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        QSKIP("no /dev/shm here");
    QTemporaryDir disk;
    QTemporaryDir memory(QStringLiteral("/dev/shm/tst_filecopy-XXXXXX"));
    QVERIFY(disk.isValid());
    QVERIFY(memory.isValid());
    const QByteArray content = pattern(3 * 1024 * 1024 + 11);
    const QString source = disk.path() + QStringLiteral("/a.bin");
    QVERIFY(write(source, content));
    QVERIFY(FileUtils::copyFile(source, memory.path() + QStringLiteral("/b.bin")));
    QCOMPARE(read(memory.path() + QStringLiteral("/b.bin")), content);
    QVERIFY(FileUtils::copyFile(memory.path() + QStringLiteral("/b.bin"),
                                disk.path() + QStringLiteral("/c.bin")));
    QCOMPARE(read(disk.path() + QStringLiteral("/c.bin")), content);
}

void tst_FileCopy::emptyFile()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(write(temp.path() + QStringLiteral("/empty"), QByteArray()));
    QVERIFY(FileUtils::copyFile(temp.path() + QStringLiteral("/empty"),
                                temp.path() + QStringLiteral("/copy")));
    QVERIFY(QFileInfo(temp.path() + QStringLiteral("/copy")).isFile());
    QCOMPARE(QFileInfo(temp.path() + QStringLiteral("/copy")).size(), 0);
}

void tst_FileCopy::folderAsSourceFails()
{
    // An element without a file name names its folder: there is nothing to copy.
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    QVERIFY(QDir().mkpath(temp.path() + QStringLiteral("/folder/inner")));
    QVERIFY(!FileUtils::copyFile(temp.path() + QStringLiteral("/folder/"),
                                 temp.path() + QStringLiteral("/out/target")));
    QVERIFY(!QFileInfo::exists(temp.path() + QStringLiteral("/out/target")));
    const QStringList left
            = QDir(temp.path() + QStringLiteral("/out"))
                      .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
}

void tst_FileCopy::fallbacks_data()
{
#ifndef Q_OS_LINUX
    QSKIP("the Linux copy's system calls");
#else
    QTest::addColumn<int>("quirk");
    QTest::addColumn<int>("size");
    // Some network and virtual file systems answer 0 where they cannot copy in the kernel.
    QTest::newRow("copy_file_range gives 0") << int(ZeroFromCopyRange) << 3 * 1024 * 1024 + 5;
    QTest::newRow("both give 0") << int(ZeroFromCopyRange | ZeroFromSendfile) << 9 * 1024 * 1024;
    // vfat and some shares keep no Unix mode.
    QTest::newRow("mode refused") << int(ModeRefused) << 100;
    QTest::newRow("mode not supported") << int(ModeUnsupported) << 100;
#endif
}

void tst_FileCopy::fallbacks()
{
#ifdef Q_OS_LINUX
    QFETCH(int, quirk);
    QFETCH(int, size);
    QTemporaryDir temp;
    const QString source = temp.path() + QStringLiteral("/source.bin");
    const QString target = temp.path() + QStringLiteral("/target.bin");
    const QByteArray content = pattern(size);
    QVERIFY(write(source, content));
    quirks = quirk;
    FileError error;
    const bool copied = FileUtils::copyNewFile(source, target, &error);
    quirks = 0;
    QVERIFY2(copied, qPrintable(error.text));
    QCOMPARE(error.kind, FileError::None);
    QCOMPARE(read(target), content);
#endif
}

void tst_FileCopy::failureReasons_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("kind");
    QTest::newRow("source missing") << "no source" << int(FileError::SourceMissing);
    QTest::newRow("target folder missing") << "no folder" << int(FileError::Other);
    QTest::newRow("target folder read-only") << "read-only" << int(FileError::NoPermission);
    QTest::newRow("program ending") << "stop" << int(FileError::Stopped);
}

// Each failure says why, in the system's words and by kind; no partial target is left.
void tst_FileCopy::failureReasons()
{
    QFETCH(QString, setup);
    QFETCH(int, kind);
    QTemporaryDir temp;
    const QString source = temp.path() + QStringLiteral("/source.bin");
    const QString folder = temp.path() + QStringLiteral("/out");
    if (setup != QLatin1String("no source"))
        QVERIFY(write(source, pattern(1000)));
    if (setup != QLatin1String("no folder"))
        QVERIFY(QDir().mkpath(folder));
    if (setup == QLatin1String("read-only")) {
#ifdef Q_OS_WIN
        QSKIP("a folder's read-only attribute does not keep files out on Windows");
#endif
        if (!TestSupport::enforceFilePermissions())
            QSKIP("file permissions do not bind here");
        QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }
    if (setup == QLatin1String("stop"))
        FileUtils::requestStop();
    FileError error;
    const bool copied
            = FileUtils::copyNewFile(source, folder + QStringLiteral("/target.bin"), &error);
    FileUtils::clearStop();
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(!copied);
    QCOMPARE(int(error.kind), kind);
    QVERIFY(!error.text.isEmpty());
    QVERIFY(!QFileInfo::exists(folder + QStringLiteral("/target.bin")));
}

QTEST_MAIN(tst_FileCopy)
#include "tst_filecopy.moc"
