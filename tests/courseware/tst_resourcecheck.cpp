#include "courseware/ResourceCheck.h"
#include "util/FileUtils.h"
#include "util/Md5.h"

#include "CoursewareFixture.h"

#include <QTemporaryDir>
#include <QtTest>

#include <new>

using namespace CoursewareFixture;

// The verification on its own: files on disk and element lists in, a result per file out.
class tst_ResourceCheck : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data();
    void outcomes();
    void listOrderAndProgress_data();
    void listOrderAndProgress();
    void manyFiles();
    void exceptionInTaskFailsOnlyItsFile();
    void stopped();
    void digestText_data();
    void digestText();
};

namespace {

ResourceElement elementFor(const QString &localPath, const QString &announced)
{
    ResourceElement element;
    element.localPath = localPath;
    element.fileMd5 = announced;
    return element;
}

const char Missing[] = "<missing>";
const char Folder[] = "<folder>";

} // namespace

void tst_ResourceCheck::outcomes_data()
{
    QTest::addColumn<QString>("localPath");
    QTest::addColumn<QByteArray>("content"); // or Missing, Folder
    QTest::addColumn<QString>("announced");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("digest");
    using O = ResourceCheck::Outcome;
    const QString abc = md5Hex("abc");
    const QString empty = md5Hex(QByteArray());
    QTest::newRow("passes") << "img/a.png" << QByteArray("abc") << abc << int(O::Passed) << abc;
    QTest::newRow("announced in upper case")
            << "a.png" << QByteArray("abc") << abc.toUpper() << int(O::Passed) << abc;
    QTest::newRow("differs") << "a.png" << QByteArray("abd") << abc << int(O::Differs)
                             << md5Hex("abd");
    QTest::newRow("trailing blank")
            << "a.png" << QByteArray("abc") << abc + QLatin1Char(' ') << int(O::Differs) << abc;
    QTest::newRow("missing") << "a.png" << QByteArray(Missing) << abc << int(O::Missing) << empty;
    // A missing file counts as empty content, which is what the service announced.
    QTest::newRow("missing, empty announced")
            << "a.png" << QByteArray(Missing) << empty << int(O::Passed) << empty;
    QTest::newRow("a folder") << "sub" << QByteArray(Folder) << abc << int(O::Unreadable) << empty;
    QTest::newRow("leaves the folder")
            << "../a.png" << QByteArray("abc") << abc << int(O::RefusedPath) << QString();
    // Only 32 hex digits are a digest: an empty or malformed announcement matches nothing.
    QTest::newRow("empty file, nothing announced")
            << "a.png" << QByteArray() << QString() << int(O::Differs) << empty;
    QTest::newRow("not hex") << "a.png" << QByteArray("abc") << QString(32, QLatin1Char('z'))
                             << int(O::Differs) << abc;
}

void tst_ResourceCheck::outcomes()
{
    QFETCH(QString, localPath);
    QFETCH(QByteArray, content);
    QFETCH(QString, announced);
    QFETCH(int, outcome);
    QFETCH(QString, digest);
    QTemporaryDir temp;
    const QString folder = temp.path() + QStringLiteral("/download/C1/3/");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeFile(temp.path() + QStringLiteral("/download/C1/a.png"), "abc"));
    if (content == Folder)
        QVERIFY(QDir().mkpath(folder + localPath));
    else if (content != Missing)
        QVERIFY(writeFile(folder + localPath, content));

    ResourceCheck check(folder, {elementFor(localPath, announced)}, {});
    check.run();
    QCOMPARE(check.files().size(), 1);
    const ResourceCheck::File &file = check.files().first();
    QCOMPARE(file.path, folder + localPath);
    QCOMPARE(int(file.outcome), outcome);
    QCOMPARE(file.digest, digest);
    QCOMPARE(check.passed(), outcome == int(ResourceCheck::Outcome::Passed));
}

void tst_ResourceCheck::listOrderAndProgress_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("step");
    QTest::newRow("small and middling") << 40 << 1000 << 5000;
    // Hashed side by side, ending at different blocks and lengths within a block.
    QTest::newRow("large") << 11 << (1 << 20) + 3 << 150001;
}

// Every file is read, also after a mismatch, and its result stands where the lists name it.
void tst_ResourceCheck::listOrderAndProgress()
{
    QFETCH(int, count);
    QFETCH(int, first);
    QFETCH(int, step);
    QTemporaryDir temp;
    const QString folder = temp.path() + QLatin1Char('/');
    QVector<ResourceElement> flow;
    QVector<ResourceElement> resources;
    qint64 bytes = 0;
    for (int i = 0; i < count; ++i) {
        QByteArray content(first + i * step, char('a' + i % 26));
        content[i] = '!';
        const QString name = QStringLiteral("f%1.bin").arg(i);
        QVERIFY(writeFile(folder + name, content));
        bytes += content.size();
        (i < 3 ? flow : resources) << elementFor(name, md5Hex(i == 1 ? "other" : content));
    }
    ResourceCheck check(folder, flow, resources);
    check.run();
    QCOMPARE(check.files().size(), count);
    for (int i = 0; i < count; ++i) {
        QCOMPARE(check.files().at(i).path, folder + QStringLiteral("f%1.bin").arg(i));
        QCOMPARE(check.files().at(i).outcome,
                 i == 1 ? ResourceCheck::Outcome::Differs : ResourceCheck::Outcome::Passed);
    }
    QVERIFY(!check.passed());
    QCOMPARE(check.totalBytes(), bytes);
    QCOMPARE(check.doneBytes(), bytes);
}

// Past a thousand files the workers join each path as they take the file.
void tst_ResourceCheck::manyFiles()
{
    QTemporaryDir temp;
    const QString folder = temp.path() + QLatin1Char('/');
    QVector<ResourceElement> resources;
    for (int i = 0; i < 1200; ++i) {
        const QByteArray content = QByteArray::number(i);
        const QString name = QStringLiteral("d%1/%2.txt").arg(i % 7).arg(i);
        if (i != 700)
            QVERIFY(writeFile(folder + name, content));
        resources << elementFor(i == 900 ? QStringLiteral("../x.txt") : name,
                                md5Hex(i == 1100 ? "other" : content));
    }
    ResourceCheck check(folder, {elementFor("d0/0.txt", md5Hex("0"))}, resources);
    check.run();
    QCOMPARE(check.files().size(), 1201);
    using O = ResourceCheck::Outcome;
    for (int i = 0; i < 1200; ++i) {
        const ResourceCheck::File &file = check.files().at(i + 1);
        QCOMPARE(file.path, folder + resources.at(i).localPath);
        QCOMPARE(file.outcome,
                 i == 700            ? O::Missing
                         : i == 900  ? O::RefusedPath
                         : i == 1100 ? O::Differs
                                     : O::Passed);
    }
    QCOMPARE(check.files().first().outcome, O::Passed);
}

// Out of memory for the read buffer, or anything else thrown inside a task, fails that one file;
// the check still ends, so the window waiting on it never waits forever.
void tst_ResourceCheck::exceptionInTaskFailsOnlyItsFile()
{
    QTemporaryDir temp;
    const QString folder = temp.path() + QLatin1Char('/');
    QVector<ResourceElement> elements;
    for (int i = 0; i < 6; ++i) {
        const QByteArray content(i == 3 ? 7777 : 100, 'x');
        QVERIFY(writeFile(folder + QStringLiteral("%1.bin").arg(i), content));
        elements << elementFor(QStringLiteral("%1.bin").arg(i), md5Hex(content));
    }
    ResourceCheck check(folder, {}, elements);
    check.setProgressHandler([](qint64 chunk) {
        if (chunk == 7777)
            throw std::bad_alloc();
    });
    const QFuture<void> done = check.start(QThreadPool::globalInstance());
    QTRY_VERIFY_WITH_TIMEOUT(done.isFinished(), 10000);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(check.files().at(i).outcome,
                 i == 3 ? ResourceCheck::Outcome::Unreadable : ResourceCheck::Outcome::Passed);
}

void tst_ResourceCheck::stopped()
{
    QTemporaryDir temp;
    QVERIFY(writeFile(temp.path() + QStringLiteral("/a.bin"), "a"));
    ResourceCheck check(temp.path() + QLatin1Char('/'), {elementFor("a.bin", md5Hex("a"))}, {});
    FileUtils::requestStop();
    check.run();
    FileUtils::clearStop();
    QVERIFY(check.stopped());
    QVERIFY(!check.passed());
    QCOMPARE(check.files().first().digest, QString());
}

void tst_ResourceCheck::digestText_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    const QString abc = md5Hex("abc");
    QTest::newRow("equal") << abc << abc << true;
    QTest::newRow("case differs") << abc << abc.toUpper() << true;
    // A failed hash gives "": it must never pass for an empty announcement.
    QTest::newRow("both empty") << QString() << QString() << false;
    QTest::newRow("31 digits") << abc.left(31) << abc.left(31) << false;
    QTest::newRow("not hex") << QString(32, QLatin1Char('g')) << QString(32, QLatin1Char('g'))
                             << false;
}

void tst_ResourceCheck::digestText()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    QCOMPARE(Md5::sameDigest(a, b), same);
}

QTEST_GUILESS_MAIN(tst_ResourceCheck)
#include "tst_resourcecheck.moc"
