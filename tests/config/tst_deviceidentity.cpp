#include "config/DeviceIdentity.h"

#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class tst_DeviceIdentity : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void override_data();
    void override();
    void registryValueHasNoStrayFile();
};

void tst_DeviceIdentity::cleanup()
{
    TestSupport::writeConfig({});
}

void tst_DeviceIdentity::override_data()
{
    QTest::addColumn<bool>("writeKey");
    QTest::addColumn<QString>("configValue");
    QTest::addColumn<QString>("registry");
    QTest::addColumn<QString>("expected");

    QTest::newRow("override replaces registry") << true << "Dev-77aB"
                                                << "0123abcdEF"
                                                << "Dev-77aB";
    QTest::newRow("override replaces empty registry") << true << "Dev-77aB"
                                                      << ""
                                                      << "Dev-77aB";
    QTest::newRow("override not trimmed") << true << "\" a b \""
                                          << "reg"
                                          << " a b ";
    QTest::newRow("present but empty") << true << ""
                                       << "0123abcdEF"
                                       << "0123abcdEF";
    QTest::newRow("absent") << false << ""
                            << "0123ABCDef"
                            << "0123ABCDef";
    QTest::newRow("neither") << false << ""
                             << ""
                             << "";
    QTest::newRow("registry passed unchanged") << false << ""
                                               << " MiXeD-case "
                                               << " MiXeD-case ";
}

void tst_DeviceIdentity::override()
{
    QFETCH(bool, writeKey);
    QFETCH(QString, configValue);
    QFETCH(QString, registry);
    QFETCH(QString, expected);

    QMap<QString, QString> values {{QStringLiteral("Server/CorvinHost"), QStringLiteral("h")}};
    if (writeKey)
        values.insert(QStringLiteral("Server/devID"), configValue);
    TestSupport::writeConfig(values);
    QCOMPARE(DeviceIdentity::applyOverride(registry), expected);
}

void tst_DeviceIdentity::registryValueHasNoStrayFile()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));

    const QString value = DeviceIdentity::registryValue();
    const QStringList strayHere = QDir(work.path())
                                          .entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                     | QDir::NoDotAndDotDot);
    const QStringList strayBeside = QDir(QCoreApplication::applicationDirPath())
                                            .entryList({QStringLiteral("HKEY*")}, QDir::AllEntries);
    QVERIFY(QDir::setCurrent(previous));

#ifndef Q_OS_WIN
    QCOMPARE(value, QString());
#else
    Q_UNUSED(value);
#endif
    QCOMPARE(strayHere, QStringList());
    QCOMPARE(strayBeside, QStringList());
}

QTEST_GUILESS_MAIN(tst_DeviceIdentity)
#include "tst_deviceidentity.moc"
