#include "util/FilePath.h"
#include "util/FileReader.h"
#include "util/FileUtils.h"

#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QProcess>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

using TestSupport::MessageCapture;

// The owner bits come from the mode; the "user" bits say what this (possibly root) user may do.
static const QFileDevice::Permissions OwnerBits
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

class tst_FileUtils : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void metaObjectHasOnlyExists();
    void resolvePath_data();
    void resolvePath();
    void fileExists();
    void makeDirAndMakePath();

    void copyMissingSourceCreatesNothing();
    void copySamePath();
    void copyCaseDifferentPaths();
    void copyReplacesTarget();
    void copyCreatesFolderChain();
    void copyRelativePaths();
    void copyOverLinkLeavesLinkTarget();

    void deleteEmptyPath();
    void deleteMissingPath();
    void deleteReadOnlyFiles();
    void deleteKeepsHiddenFile();
    void deleteRemovesEmptyParents();
    void deleteLastEntryFolderReportsSuccess();
    void deleteFolderLinkKeepsTarget();
    void deleteFileLinkKeepsTarget();
    void deleteJunctionKeepsTarget();

    void extendedPath_data();
    void extendedPath();
    void liesInside_data();
    void liesInside();

    void md5Known_data();
    void md5Known();
    void md5ChunkBoundaries_data();
    void md5ChunkBoundaries();
    void md5FromManyThreads();
    void readWhole_data();
    void readWhole();
    void md5LargeSparseFileMatchesMd5sum();
    void digestCacheSavedAtExit_data();
    void digestCacheSavedAtExit();

private:
    QString path(const QString &relative) const
    {
        return tmp->path() + QLatin1Char('/') + relative;
    }
    void writeFile(const QString &file, const QByteArray &content);
    QByteArray readFile(const QString &file);

    QScopedPointer<QTemporaryDir> tmp;
};

void tst_FileUtils::init()
{
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
}

void tst_FileUtils::cleanup()
{
    // Tests leave read-only entries behind when they fail; make them removable again.
    QProcess::execute(QStringLiteral("chmod"),
                      {QStringLiteral("-R"), QStringLiteral("u+rwx"), tmp->path()});
    tmp.reset();
}

void tst_FileUtils::writeFile(const QString &file, const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(file).path()));
    QFile f(file);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file));
    QCOMPARE(f.write(content), qint64(content.size()));
}

QByteArray tst_FileUtils::readFile(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return f.readAll();
}

void tst_FileUtils::metaObjectHasOnlyExists()
{
    FileUtils utils;
    QVERIFY(utils.parent() == nullptr);
    const QMetaObject *meta = utils.metaObject();
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 1);
    QCOMPARE(meta->propertyCount() - meta->propertyOffset(), 0);
    const QMetaMethod method = meta->method(meta->methodOffset());
    QCOMPARE(method.methodSignature(), QByteArray("exists(QString)"));
    QCOMPARE(method.methodType(), QMetaMethod::Method);

    writeFile(path(QStringLiteral("here.txt")), "x");
    bool found = false;
    QVERIFY(QMetaObject::invokeMethod(&utils, "exists", Q_RETURN_ARG(bool, found),
                                      Q_ARG(QString, path(QStringLiteral("here.txt")))));
    QVERIFY(found);
    QVERIFY(QMetaObject::invokeMethod(&utils, "exists", Q_RETURN_ARG(bool, found),
                                      Q_ARG(QString, path(QStringLiteral("gone.txt")))));
    QVERIFY(!found);
}

void tst_FileUtils::resolvePath_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    const QString app = QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath();
    QTest::newRow("relative") << "a/b.txt" << app + QStringLiteral("/a/b.txt");
    QTest::newRow("not cleaned") << "./x/../y" << app + QStringLiteral("/./x/../y");
    QTest::newRow("backslash kept") << "a\\b" << app + QStringLiteral("/a\\b");
    QTest::newRow("empty") << "" << app + QStringLiteral("/");
    QTest::newRow("absolute") << "/abs/./p/../q"
                              << "/abs/./p/../q";
}

void tst_FileUtils::resolvePath()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(FileUtils::applicationFolder(),
             QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath());
    QVERIFY(!FileUtils::applicationFolder().endsWith(QLatin1Char('/')));
    QCOMPARE(FileUtils::resolvePath(input), expected);
}

void tst_FileUtils::fileExists()
{
    writeFile(path(QStringLiteral("f.txt")), "1");
    QVERIFY(FileUtils::fileExists(path(QStringLiteral("f.txt"))));
    QVERIFY(FileUtils::fileExists(tmp->path()));
    QVERIFY(!FileUtils::fileExists(path(QStringLiteral("none"))));
    // Relative names are looked up beside the executable, not in the working directory.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(tmp->path()));
    const bool relativeFound = FileUtils::fileExists(QStringLiteral("f.txt"));
    QDir::setCurrent(previous);
    QVERIFY(!relativeFound);
}

void tst_FileUtils::makeDirAndMakePath()
{
    QVERIFY(!FileUtils::makeDir(QString()));
    const QString deep = path(QStringLiteral("p/q"));
    QVERIFY(!FileUtils::makeDir(deep));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("p"))));
    QVERIFY(FileUtils::makePath(deep));
    QVERIFY(QFileInfo(deep).isDir());
    QVERIFY(FileUtils::makeDir(deep));
    QVERIFY(FileUtils::makePath(deep));
    QVERIFY(FileUtils::makeDir(path(QStringLiteral("p/r"))));
    QVERIFY(QFileInfo(path(QStringLiteral("p/r"))).isDir());

    // Relative: below the executable's folder.
    const QString name = QStringLiteral("made-%1").arg(QCoreApplication::applicationPid());
    const QString besideExe = FileUtils::applicationFolder() + QLatin1Char('/') + name;
    QVERIFY(FileUtils::makeDir(name));
    QVERIFY(QFileInfo(besideExe).isDir());
    QVERIFY(FileUtils::makePath(name + QStringLiteral("/a/b")));
    QVERIFY(QFileInfo(besideExe + QStringLiteral("/a/b")).isDir());
    QVERIFY(QDir(besideExe).removeRecursively());
}

void tst_FileUtils::copyMissingSourceCreatesNothing()
{
    QVERIFY(!FileUtils::copyFile(path(QStringLiteral("none.txt")),
                                 path(QStringLiteral("t/u/v.txt"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("t"))));

    // An existing target is left as it was.
    writeFile(path(QStringLiteral("old.txt")), "keep");
    QVERIFY(!FileUtils::copyFile(path(QStringLiteral("none.txt")),
                                 path(QStringLiteral("old.txt"))));
    QCOMPARE(readFile(path(QStringLiteral("old.txt"))), QByteArray("keep"));
}

void tst_FileUtils::copySamePath()
{
    const QString file = path(QStringLiteral("same.txt"));
    writeFile(file, "content");
    QVERIFY(FileUtils::copyFile(file, file));
    QCOMPARE(readFile(file), QByteArray("content"));
}

void tst_FileUtils::copyCaseDifferentPaths()
{
    const QString upper = path(QStringLiteral("Dir/Name.TXT"));
    const QString lower = path(QStringLiteral("dir/name.txt"));
    writeFile(upper, "case");
    QVERIFY(FileUtils::copyFile(upper, lower));
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("dir"))) || QFileInfo(lower).exists());
#else
    // Two different files here: the copy really happens.
    QCOMPARE(readFile(lower), QByteArray("case"));
    QCOMPARE(readFile(upper), QByteArray("case"));
    QVERIFY(QFileInfo(lower).canonicalFilePath() != QFileInfo(upper).canonicalFilePath());
#endif
}

void tst_FileUtils::copyReplacesTarget()
{
    writeFile(path(QStringLiteral("src.txt")), "new content");
    writeFile(path(QStringLiteral("dst.txt")), "old content that is longer");
    QFile::setPermissions(path(QStringLiteral("dst.txt")), QFileDevice::ReadOwner);
    QVERIFY(FileUtils::copyFile(path(QStringLiteral("src.txt")), path(QStringLiteral("dst.txt"))));
    QCOMPARE(readFile(path(QStringLiteral("dst.txt"))), QByteArray("new content"));
    QCOMPARE(readFile(path(QStringLiteral("src.txt"))), QByteArray("new content"));
}

void tst_FileUtils::copyCreatesFolderChain()
{
    writeFile(path(QStringLiteral("src.bin")), QByteArray(70000, 'z'));
    const QString target = path(QStringLiteral("a/b/c/d.bin"));
    QVERIFY(FileUtils::copyFile(path(QStringLiteral("src.bin")), target));
    QCOMPARE(readFile(target), QByteArray(70000, 'z'));
}

void tst_FileUtils::copyRelativePaths()
{
    const QString name = QStringLiteral("copy-%1").arg(QCoreApplication::applicationPid());
    const QString besideExe = FileUtils::applicationFolder() + QLatin1Char('/') + name;
    writeFile(besideExe + QStringLiteral("/in.txt"), "relative");
    QVERIFY(FileUtils::copyFile(name + QStringLiteral("/in.txt"),
                                name + QStringLiteral("/x/out.txt")));
    const QByteArray copied = readFile(besideExe + QStringLiteral("/x/out.txt"));
    QVERIFY(QDir(besideExe).removeRecursively());
    QCOMPARE(copied, QByteArray("relative"));
}

void tst_FileUtils::copyOverLinkLeavesLinkTarget()
{
    writeFile(path(QStringLiteral("outside/kept.txt")), "outside");
    writeFile(path(QStringLiteral("src.txt")), "fresh");
    QVERIFY(QFile::link(path(QStringLiteral("outside/kept.txt")),
                        path(QStringLiteral("link.txt"))));
    QVERIFY(FileUtils::copyFile(path(QStringLiteral("src.txt")), path(QStringLiteral("link.txt"))));
    QVERIFY(!QFileInfo(path(QStringLiteral("link.txt"))).isSymLink());
    QCOMPARE(readFile(path(QStringLiteral("link.txt"))), QByteArray("fresh"));
    QCOMPARE(readFile(path(QStringLiteral("outside/kept.txt"))), QByteArray("outside"));
}

void tst_FileUtils::deleteEmptyPath()
{
    MessageCapture capture;
    QVERIFY(!FileUtils::deleteDir(QString()));
    QCOMPARE(capture.texts(), QStringList {QStringLiteral("FileUtils::deleteDir  \"\"")});
    QVERIFY(capture.messages().first().function.contains(QLatin1String("FileUtils::deleteDir")));
}

void tst_FileUtils::deleteMissingPath()
{
    MessageCapture capture;
    const QString missing = path(QStringLiteral("no/such/folder"));
    QVERIFY(FileUtils::deleteDir(missing));
    QCOMPARE(capture.texts(),
             QStringList {QStringLiteral("FileUtils::deleteDir  \"%1\"").arg(missing)});
    QVERIFY(QFileInfo::exists(tmp->path()));
}

void tst_FileUtils::deleteReadOnlyFiles()
{
    const QString root = path(QStringLiteral("keep/root"));
    writeFile(root + QStringLiteral("/ro.txt"), "r");
    writeFile(root + QStringLiteral("/sub/ro2.txt"), "r");
    writeFile(path(QStringLiteral("keep/other.txt")), "stays");
    QVERIFY(QFile::setPermissions(root + QStringLiteral("/ro.txt"), QFileDevice::ReadOwner));
    QVERIFY(QFile::setPermissions(root + QStringLiteral("/sub/ro2.txt"), QFileDevice::ReadOwner));

    MessageCapture capture;
    QVERIFY(FileUtils::deleteDir(root));
    QVERIFY(!QFileInfo::exists(root));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("keep/other.txt"))));

    const QStringList expected {
            QStringLiteral("FileUtils::deleteDir  \"%1\"").arg(root),
            QStringLiteral(" FileUtils::deleteDir : remove ++  \"ro.txt\""),
            QStringLiteral(" QFile : setPermissions --  true"),
            QStringLiteral(" FileUtils::deleteDir : remove --  true"),
            QStringLiteral("FileUtils::deleteDir  \"%1/sub\"").arg(root),
            QStringLiteral(" FileUtils::deleteDir : remove ++  \"ro2.txt\""),
            QStringLiteral(" QFile : setPermissions --  true"),
            QStringLiteral(" FileUtils::deleteDir : remove --  true"),
    };
    QCOMPARE(capture.texts(), expected);
}

void tst_FileUtils::deleteKeepsHiddenFile()
{
    const QString root = path(QStringLiteral("tree"));
    writeFile(root + QStringLiteral("/a/.hidden"), "h");
    writeFile(root + QStringLiteral("/a/visible.txt"), "v");
    writeFile(root + QStringLiteral("/b/c/file.txt"), "f");
    writeFile(root + QStringLiteral("/top.txt"), "t");

    QVERIFY(!FileUtils::deleteDir(root));
    QVERIFY(QFileInfo::exists(root + QStringLiteral("/a/.hidden")));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/a/visible.txt")));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/b")));
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/top.txt")));
    QCOMPARE(QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList {QStringLiteral("a")});
}

void tst_FileUtils::deleteRemovesEmptyParents()
{
    writeFile(path(QStringLiteral("keep.txt")), "k");
    const QString target = path(QStringLiteral("p1/p2/target"));
    writeFile(target + QStringLiteral("/f.txt"), "f");
    QVERIFY(FileUtils::deleteDir(target));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("p1"))));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("keep.txt"))));

    // A parent with other content stays.
    writeFile(path(QStringLiteral("q1/sibling.txt")), "s");
    writeFile(path(QStringLiteral("q1/target/f.txt")), "f");
    QVERIFY(FileUtils::deleteDir(path(QStringLiteral("q1/target"))));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("q1/target"))));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("q1/sibling.txt"))));
}

void tst_FileUtils::deleteLastEntryFolderReportsSuccess()
{
    // The inner call for "z" empties and removes "root" too; the outer call must still say true.
    writeFile(path(QStringLiteral("keep.txt")), "k");
    const QString root = path(QStringLiteral("root"));
    writeFile(root + QStringLiteral("/a.txt"), "a");
    writeFile(root + QStringLiteral("/z/b.txt"), "b");
    QVERIFY(FileUtils::deleteDir(root));
    QVERIFY(!QFileInfo::exists(root));
    QVERIFY(QFileInfo::exists(path(QStringLiteral("keep.txt"))));
}

// Under Wine no Windows call removes a Linux link without touching its target: the link stays,
// and so does the folder that holds it. Elsewhere the link itself goes.
void tst_FileUtils::deleteFolderLinkKeepsTarget()
{
    const QString outside = path(QStringLiteral("outside"));
    writeFile(outside + QStringLiteral("/one.txt"), "1");
    writeFile(outside + QStringLiteral("/deep/two.txt"), "2");
    writeFile(outside + QStringLiteral("/deep/ro.txt"), "3");
    QVERIFY(QFile::setPermissions(outside + QStringLiteral("/deep/ro.txt"),
                                  QFileDevice::ReadOwner));
    const QString root = path(QStringLiteral("holder/tree"));
    writeFile(root + QStringLiteral("/mine.txt"), "m");
    if (!TestSupport::makeLink(outside, root + QStringLiteral("/link")))
        QSKIP("this account may not make symbolic links");
    QVERIFY(QFileInfo(root + QStringLiteral("/link")).isDir());

    MessageCapture capture;
    const bool linkRemovable = !TestSupport::underWine();
    QCOMPARE(FileUtils::deleteDir(root), linkRemovable);
    QCOMPARE(QFileInfo::exists(path(QStringLiteral("holder"))), !linkRemovable);
    QVERIFY(!QFileInfo::exists(root + QStringLiteral("/mine.txt")));

    QCOMPARE(readFile(outside + QStringLiteral("/one.txt")), QByteArray("1"));
    QCOMPARE(readFile(outside + QStringLiteral("/deep/two.txt")), QByteArray("2"));
    QCOMPARE(readFile(outside + QStringLiteral("/deep/ro.txt")), QByteArray("3"));
    QCOMPARE(QFile::permissions(outside + QStringLiteral("/deep/ro.txt")) & OwnerBits,
             QFileDevice::ReadOwner);

    const QStringList texts = capture.texts();
    QVERIFY(texts.contains(QStringLiteral(" FileUtils::deleteDir : remove ++  \"link\"")));
    for (const QString &text : texts)
        QVERIFY2(!text.contains(QLatin1String("one.txt")) && !text.contains(QLatin1String("deep")),
                 qPrintable(text));
}

void tst_FileUtils::deleteFileLinkKeepsTarget()
{
    const QString outside = path(QStringLiteral("outside.txt"));
    writeFile(outside, "kept");
    QVERIFY(QFile::setPermissions(outside, QFileDevice::ReadOwner));
    const QString root = path(QStringLiteral("tree"));
    QVERIFY(QDir().mkpath(root));
    if (!TestSupport::makeLink(outside, root + QStringLiteral("/flink")))
        QSKIP("this account may not make symbolic links");

    MessageCapture capture;
    const bool linkRemovable = !TestSupport::underWine();
    QCOMPARE(FileUtils::deleteDir(root), linkRemovable);
    QCOMPARE(QFileInfo::exists(root), !linkRemovable);
    QCOMPARE(readFile(outside), QByteArray("kept"));
    // The target's permissions are not touched through the link.
    QCOMPARE(QFile::permissions(outside) & OwnerBits, QFileDevice::ReadOwner);
    const QStringList expected {
            QStringLiteral("FileUtils::deleteDir  \"%1\"").arg(root),
            QStringLiteral(" FileUtils::deleteDir : remove ++  \"flink\""),
            QStringLiteral(" FileUtils::deleteDir : remove --  %1")
                    .arg(linkRemovable ? QLatin1String("true") : QLatin1String("false")),
    };
    QCOMPARE(capture.texts(), expected);
}

void tst_FileUtils::deleteJunctionKeepsTarget()
{
#ifndef Q_OS_WIN
    QSKIP("junctions are Windows's");
#else
    const QString outside = path(QStringLiteral("outside"));
    writeFile(outside + QStringLiteral("/one.txt"), "1");
    const QString root = path(QStringLiteral("tree"));
    writeFile(root + QStringLiteral("/mine.txt"), "m");
    const QString junction = QDir::toNativeSeparators(root + QStringLiteral("/junction"));
    QProcess::execute(QStringLiteral("cmd.exe"),
                      {QStringLiteral("/c"), QStringLiteral("mklink"), QStringLiteral("/J"),
                       junction, QDir::toNativeSeparators(outside)});
    if (!QFileInfo(junction).isDir())
        QSKIP("mklink /J makes no junction here (Wine 8 cannot)");
    QVERIFY(FileUtils::deleteDir(root));
    QVERIFY(!QFileInfo::exists(root));
    QCOMPARE(readFile(outside + QStringLiteral("/one.txt")), QByteArray("1"));
#endif
}

void tst_FileUtils::md5Known_data()
{
    QTest::addColumn<bool>("create");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("digest");
    QTest::newRow("abc") << true << QByteArray("abc") << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("empty file") << true << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("missing file") << false << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("fox") << true << QByteArray("The quick brown fox jumps over the lazy dog")
                         << "9e107d9d372bb6826bd81d3542a419d6";
}

void tst_FileUtils::md5Known()
{
    QFETCH(bool, create);
    QFETCH(QByteArray, content);
    QFETCH(QString, digest);
    const QString file = path(QStringLiteral("hashed.bin"));
    if (create)
        writeFile(file, content);
    MessageCapture capture;
    QCOMPARE(FileUtils::getFileMd5(file), digest);
    QCOMPARE(capture.texts(), QStringList {QStringLiteral("\"%1\" \"%2\"").arg(file, digest)});
}

void tst_FileUtils::md5ChunkBoundaries_data()
{
    QTest::addColumn<int>("size");
    const int mib = 1024 * 1024;
    QTest::newRow("1") << 1;
    QTest::newRow("1 MiB - 1") << mib - 1;
    QTest::newRow("1 MiB") << mib;
    QTest::newRow("1 MiB + 1") << mib + 1;
    QTest::newRow("3 MiB + 7") << 3 * mib + 7;
}

void tst_FileUtils::md5ChunkBoundaries()
{
    QFETCH(int, size);
    QByteArray content(size, Qt::Uninitialized);
    // A small LCG: reproducible bytes on every Qt version.
    quint32 state = quint32(size);
    for (char &c : content) {
        state = state * 1664525u + 1013904223u;
        c = char(state >> 24);
    }
    const QString file = path(QStringLiteral("chunks.bin"));
    writeFile(file, content);
    const QString expected = QString::fromLatin1(
            QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    QCOMPARE(FileUtils::getFileMd5(file), expected);
}

void tst_FileUtils::readWhole_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("grown"); // appended after the file was opened
    QTest::addColumn<int>("result");
    QTest::newRow("empty") << 0 << 0 << int(FileReader::Read);
    QTest::newRow("at the limit") << 4096 << 0 << int(FileReader::Read);
    QTest::newRow("one byte over") << 4097 << 0 << int(FileReader::Larger);
    QTest::newRow("grew past the limit") << 4000 << 200 << int(FileReader::Larger);
}

// What does not fit is read again from its start, as a stream.
void tst_FileUtils::readWhole()
{
    QFETCH(int, size);
    QFETCH(int, grown);
    QFETCH(int, result);
    const QByteArray content = QByteArray("0123456789").repeated(1000).left(size);
    const QByteArray more(grown, 'm');
    const QString file = path(QStringLiteral("whole.bin"));
    writeFile(file, content);
    FileReader reader;
    QCOMPARE(int(reader.open(file)), int(FileReader::Ok));
    QFile append(file);
    QVERIFY(append.open(QIODevice::Append));
    QCOMPARE(append.write(more), qint64(grown));
    append.close();
    std::vector<char> buffer(3, 'z');
    qint64 read = -1;
    QCOMPARE(int(reader.readWhole(&buffer, 4096, &read)), result);
    const QByteArray all = content + more;
    if (result == FileReader::Read) {
        QCOMPARE(QByteArray(buffer.data(), int(read)), all);
    } else {
        std::vector<char> chunk;
        QCOMPARE(reader.md5Hex(&chunk, {}),
                 QString::fromLatin1(
                         QCryptographicHash::hash(all, QCryptographicHash::Md5).toHex()));
    }
}

void tst_FileUtils::md5FromManyThreads()
{
    QStringList files;
    QStringList expected;
    for (int i = 0; i < 16; ++i) {
        const QByteArray content = QByteArray::number(i).repeated(100000 + i * 977);
        files << path(QStringLiteral("t%1.bin").arg(i));
        writeFile(files.last(), content);
        expected << QString::fromLatin1(
                QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    }
    QThreadPool pool;
    pool.setMaxThreadCount(8);
    QList<QFuture<QString>> futures;
    for (const QString &file : files)
        futures << QtConcurrent::run(&pool, [file] { return FileUtils::getFileMd5(file); });
    QStringList digests;
    for (QFuture<QString> &future : futures)
        digests << future.result();
    QCOMPARE(digests, expected);
}

void tst_FileUtils::md5LargeSparseFileMatchesMd5sum()
{
    const QString file = path(QStringLiteral("large.bin"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        const qint64 size = qint64(2200) * 1024 * 1024;
        QVERIFY(f.resize(size));
        // Marks around the 2 GiB and 4 GiB-of-int boundaries and at both ends.
        for (const qint64 at : {qint64(0), qint64(1) << 31, (qint64(1) << 31) - 3, size - 5}) {
            QVERIFY(f.seek(at));
            QCOMPARE(f.write("mark"), qint64(4));
        }
    }
    QCOMPARE(QFileInfo(file).size(), qint64(2200) * 1024 * 1024);

#ifdef Q_OS_WIN
    // No md5sum here: Qt's own whole-device hashing is the reference.
    QFile whole(file);
    QVERIFY(whole.open(QIODevice::ReadOnly));
    QCryptographicHash hash(QCryptographicHash::Md5);
    QVERIFY(hash.addData(&whole));
    const QString reference = QString::fromLatin1(hash.result().toHex());
#else
    QProcess md5sum;
    md5sum.start(QStringLiteral("md5sum"), {file});
    QVERIFY(md5sum.waitForFinished(-1));
    QCOMPARE(md5sum.exitCode(), 0);
    const QString reference = QString::fromLatin1(md5sum.readAllStandardOutput().left(32));
    QCOMPARE(reference.size(), 32);
#endif

    QCOMPARE(FileUtils::getFileMd5(file), reference);
}

void tst_FileUtils::extendedPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("base"); // "": the working directory
    QTest::addColumn<QString>("native");
    const QString deep
            = QStringLiteral("/课件/第一单元").repeated(30) + QStringLiteral("/片头.mp4");
    QTest::newRow("short") << "C:/Users/t/AppData/Roaming/heron/resource/a.png" << QString()
                           << R"(\\?\C:\Users\t\AppData\Roaming\heron\resource\a.png)";
    QTest::newRow("long") << QStringLiteral("D:/download") + deep << QString()
                          << QStringLiteral(R"(\\?\D:\download)")
                    + QString(deep).replace(QLatin1Char('/'), QLatin1Char('\\'));
    QTest::newRow("network share") << "//school-nas/courseware/C1/3/a.mp4" << QString()
                                   << R"(\\?\UNC\school-nas\courseware\C1\3\a.mp4)";
    QTest::newRow("backslashes and ..") << R"(C:\a\b\..\c\)" << QString() << R"(\\?\C:\a\c)";
    QTest::newRow("already extended") << R"(\\?\C:\x)" << QString() << R"(\\?\C:\x)";
    // Started from a share, or from a shortcut whose "Start in" is one: the log's relative path.
    QTest::newRow("relative under a share")
            << "log/log20261209080000.log"
            << R"(\\nas\apps\corvin)"
            << R"(\\?\UNC\nas\apps\corvin\log\log20261209080000.log)";
    QTest::newRow("relative under a share, slashes") << "log/a.log"
                                                     << "//nas/apps/corvin/"
                                                     << R"(\\?\UNC\nas\apps\corvin\log\a.log)";
    QTest::newRow("up out of the share's folder") << R"(..\x.log)"
                                                  << R"(\\nas\apps\corvin)"
                                                  << R"(\\?\UNC\nas\apps\x.log)";
    QTest::newRow("rooted under a share") << R"(\x.log)"
                                          << R"(\\nas\apps\corvin)"
                                          << R"(\\?\UNC\nas\apps\x.log)";
    QTest::newRow("relative on a drive") << "log/a.log"
                                         << R"(C:\Corvin)"
                                         << R"(\\?\C:\Corvin\log\a.log)";
    QTest::newRow("rooted on a drive") << "/x/a.log"
                                       << "D:/Corvin"
                                       << R"(\\?\D:\x\a.log)";
    QTest::newRow("absolute whatever the base") << "C:/a.log"
                                                << R"(\\nas\apps)"
                                                << R"(\\?\C:\a.log)";
}

// Every Win32 file call takes these: without "\\?\" a path of 260 characters or more fails.
void tst_FileUtils::extendedPath()
{
    QFETCH(QString, path);
    QFETCH(QString, base);
    QFETCH(QString, native);
    QCOMPARE(FilePath::extended(path, base), native);
}

void tst_FileUtils::liesInside_data()
{
    QTest::addColumn<QString>("resolved");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("inside");
    QTest::newRow("inside") << R"(\\?\C:\r\a.png)"
                            << R"(\\?\C:\r)" << true;
    QTest::newRow("other case") << R"(\\?\C:\R\A.png)"
                                << R"(\\?\c:\r)" << true;
    QTest::newRow("outside") << R"(\\?\D:\data\a.png)"
                             << R"(\\?\C:\r)" << false;
    QTest::newRow("sibling, same start") << R"(\\?\C:\rx\a)"
                                         << R"(\\?\C:\r)" << false;
    QTest::newRow("entry not resolved") << ""
                                        << R"(\\?\C:\r)" << false;
    // An unresolved folder must not make everything count as inside it.
    QTest::newRow("folder not resolved") << R"(\\?\D:\data\a.png)"
                                         << "" << false;
}

void tst_FileUtils::liesInside()
{
    QFETCH(QString, resolved);
    QFETCH(QString, folder);
    QFETCH(bool, inside);
    QCOMPARE(FilePath::liesInside(resolved, folder), inside);
}

void tst_FileUtils::digestCacheSavedAtExit_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("one") << 1;
    QTest::newRow("many, a long save") << 100000;
}

// The process ends with exit() while the pool saves the cache: the file is written whole, and
// the end does not crash on a cache destroyed under the save.
void tst_FileUtils::digestCacheSavedAtExit()
{
    QFETCH(int, count);
    QProcess helper;
    helper.start(QFileInfo(QStringLiteral(CORVIN_CACHE_AT_EXIT)).absoluteFilePath(),
                 {QString::number(count)});
    QVERIFY2(helper.waitForFinished(120000), qPrintable(helper.errorString()));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
    QFile file(QString::fromUtf8(helper.readAllStandardOutput()).trimmed());
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    file.remove();
    QCOMPARE(root.value(QLatin1String("files")).toObject().size(), count);
}

QTEST_GUILESS_MAIN(tst_FileUtils)
#include "tst_fileutils.moc"
