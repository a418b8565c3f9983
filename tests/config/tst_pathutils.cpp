#include "config/PathUtils.h"

#include <QtTest>

class tst_PathUtils : public QObject
{
    Q_OBJECT

private slots:
    void constructorKeepsPath_data();
    void constructorKeepsPath();
    void append_data();
    void append();
    void chained();
};

void tst_PathUtils::constructorKeepsPath_data()
{
    QTest::addColumn<QString>("base");
    QTest::newRow("plain") << QStringLiteral("C:/x");
    QTest::newRow("trailing slash") << QStringLiteral("C:/x/");
    QTest::newRow("backslashes") << QStringLiteral("C:\\x\\");
    QTest::newRow("empty") << QString();
}

void tst_PathUtils::constructorKeepsPath()
{
    QFETCH(QString, base);
    QCOMPARE(PathUtils(base).path(), base);
}

void tst_PathUtils::append_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("component");
    QTest::addColumn<QString>("expected");

    QTest::newRow("backslash component") << "C:/x"
                                         << "\\y"
                                         << "C:/x/y/";
    QTest::newRow("both separators present") << "C:/x/"
                                             << "y/"
                                             << "C:/x/y/";
    QTest::newRow("empty base") << ""
                                << "y"
                                << "/y/";
    QTest::newRow("multi-level component") << "C:/x"
                                           << "a/b"
                                           << "C:/x/a/b/";
    QTest::newRow("leading slash on both sides") << "C:/x/"
                                                 << "/y"
                                                 << "C:/x/y/";
    QTest::newRow("only one leading separator dropped") << "C:/x"
                                                        << "//y"
                                                        << "C:/x//y/";
    QTest::newRow("backslash base kept") << "C:\\x\\"
                                         << "y"
                                         << "C:\\x\\y/";
    QTest::newRow("trailing backslash component kept") << "C:/x"
                                                       << "y\\"
                                                       << "C:/x/y\\";
    QTest::newRow("empty component") << "C:/x"
                                     << ""
                                     << "C:/x/";
    QTest::newRow("number component") << "/d/123"
                                      << "7"
                                      << "/d/123/7/";
}

void tst_PathUtils::append()
{
    QFETCH(QString, base);
    QFETCH(QString, component);
    QFETCH(QString, expected);
    PathUtils path(base);
    path.append(component);
    QCOMPARE(path.path(), expected);
}

void tst_PathUtils::chained()
{
    PathUtils path(QStringLiteral("/data/download"));
    PathUtils &same = path.append(QStringLiteral("42")).append(QStringLiteral("\\3"));
    QCOMPARE(&same, &path);
    QCOMPARE(path.path(), QStringLiteral("/data/download/42/3/"));
    path.append(QStringLiteral("a/b.txt"));
    QCOMPARE(path.path(), QStringLiteral("/data/download/42/3/a/b.txt/"));
}

QTEST_GUILESS_MAIN(tst_PathUtils)
#include "tst_pathutils.moc"
