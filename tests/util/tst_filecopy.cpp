#include "util/FileUtils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

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

QTEST_MAIN(tst_FileCopy)
#include "tst_filecopy.moc"
