#include "util/FilePath.h"

#include <QtTest>

class tst_FilePath : public QObject
{
    Q_OBJECT

private slots:
    void join_data();
    void join();
    void joinedTextIsPlainConcatenation();
};

void tst_FilePath::join_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("allowed");

    const QString f = QStringLiteral("/data/dl/c1/3/");
    QTest::newRow("plain file") << f << QStringLiteral("a.xml") << true;
    QTest::newRow("sub folder") << f << QStringLiteral("img/a.png") << true;
    QTest::newRow("backslash sub folder") << f << QStringLiteral("img\\a.png") << true;
    QTest::newRow("one leading slash") << f << QStringLiteral("/img/a.png") << true;
    QTest::newRow("one leading backslash") << f << QStringLiteral("\\img\\a.png") << true;
    QTest::newRow("dot component") << f << QStringLiteral("./img/a.png") << true;
    QTest::newRow("dots inside a name") << f << QStringLiteral("a..b.png") << true;
    QTest::newRow("empty is the folder") << f << QString() << true;
    QTest::newRow("folder without slash")
            << QStringLiteral("/data/dl") << QStringLiteral("/x") << true;
    QTest::newRow("relative folder") << QStringLiteral("dl/c1/3/") << QStringLiteral("x") << true;
    QTest::newRow("root folder") << QStringLiteral("/") << QStringLiteral("x") << true;

    QTest::newRow("parent") << f << QStringLiteral("../x") << false;
    QTest::newRow("slash parent") << f << QStringLiteral("/../x") << false;
    QTest::newRow("backslash parent") << f << QStringLiteral("..\\x") << false;
    QTest::newRow("deep parent") << f << QStringLiteral("a/../../x") << false;
    QTest::newRow("parent that stays inside") << f << QStringLiteral("a/../x") << false;
    QTest::newRow("trailing parent") << f << QStringLiteral("a/..") << false;
    QTest::newRow("dots and blank") << f << QStringLiteral("a/.. /x") << false;
    QTest::newRow("three dots") << f << QStringLiteral(".../x") << false;
    QTest::newRow("absolute") << f << QStringLiteral("//etc/passwd") << false;
    QTest::newRow("absolute mixed") << f << QStringLiteral("/\\etc") << false;
    QTest::newRow("drive") << f << QStringLiteral("C:/x") << false;
    QTest::newRow("drive backslash") << f << QStringLiteral("c:\\x") << false;
    QTest::newRow("drive relative") << f << QStringLiteral("C:x") << false;
    QTest::newRow("drive after slash") << f << QStringLiteral("/C:/x") << false;
    QTest::newRow("unc backslash") << f << QStringLiteral("\\\\srv\\x") << false;
    QTest::newRow("unc slash") << f << QStringLiteral("//srv/x") << false;
    QTest::newRow("nul") << f << QString::fromUtf8("a\0b", 3) << false;
    // What Windows makes another file or a device of, refused on every platform.
    QTest::newRow("device path") << f << QStringLiteral("\\\\?\\C:\\x") << false;
    QTest::newRow("device namespace") << f << QStringLiteral("\\\\.\\pipe\\x") << false;
    QTest::newRow("stream") << f << QStringLiteral("a.mp4:hidden") << false;
    QTest::newRow("stream of a folder") << f << QStringLiteral("img:x/a.png") << false;
    QTest::newRow("device") << f << QStringLiteral("CON") << false;
    QTest::newRow("device with extension") << f << QStringLiteral("nul.txt") << false;
    QTest::newRow("device lower case in a folder") << f << QStringLiteral("img/aux") << false;
    QTest::newRow("device as a folder") << f << QStringLiteral("com1/a.png") << false;
    QTest::newRow("device with blanks") << f << QStringLiteral("LPT9 .log") << false;
    QTest::newRow("device with superscript") << f << QString::fromUtf8("COM\u00B2") << false;
    QTest::newRow("console device") << f << QStringLiteral("conin$") << false;
    QTest::newRow("trailing dot") << f << QStringLiteral("a.png.") << false;
    QTest::newRow("trailing blank") << f << QStringLiteral("img /a.png") << false;
    QTest::newRow("device-like names") << f << QStringLiteral("console/com10/nul_/lpt.txt") << true;
    QTest::newRow("dot folder") << f << QStringLiteral(".cache/a.png") << true;
    // Plain concatenation onto a folder without its separator names a sibling.
    QTest::newRow("sibling by prefix")
            << QStringLiteral("/data/dl") << QStringLiteral("x") << false;
    QTest::newRow("folder with parent, plain file")
            << QStringLiteral("/data/x/../dl/") << QStringLiteral("a") << true;
}

void tst_FilePath::join()
{
    QFETCH(QString, folder);
    QFETCH(QString, relative);
    QFETCH(bool, allowed);

    QString joined;
    QCOMPARE(FilePath::join(folder, relative, &joined), allowed);
    QCOMPARE(joined, folder + relative);
    if (allowed)
        QVERIFY(FilePath::isContained(relative));
}

void tst_FilePath::joinedTextIsPlainConcatenation()
{
    QString joined;
    QVERIFY(FilePath::join(QStringLiteral("/d/c/1/"), QStringLiteral("/a.png"), &joined));
    // The doubled separator stays: the path is logged and compared as the service gave it.
    QCOMPARE(joined, QStringLiteral("/d/c/1//a.png"));
    QVERIFY(FilePath::join(QStringLiteral("/d/c/1/"), QStringLiteral("a.png"), nullptr));
}

QTEST_MAIN(tst_FilePath)
#include "tst_filepath.moc"
