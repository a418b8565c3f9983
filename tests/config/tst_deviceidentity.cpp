#include "config/DeviceIdentity.h"

#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_DeviceIdentity : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void override_data();
    void override();
    void fromRegistry_data();
    void fromRegistry();
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

void tst_DeviceIdentity::fromRegistry_data()
{
    QTest::addColumn<QString>("in64"); // the value in the 64-bit view; null: none
    QTest::addColumn<QString>("in32"); // and in the 32-bit view
    QTest::addColumn<QString>("devID"); // "Server/devID" of config.ini
    QTest::addColumn<QString>("expected");
    QTest::newRow("64-bit view") << "4F3A-64" << QString() << QString() << "4F3A-64";
    QTest::newRow("32-bit view only") << QString() << "4F3A-32" << QString() << "4F3A-32";
    QTest::newRow("both views") << "4F3A-64"
                                << "4F3A-32" << QString() << "4F3A-64";
    QTest::newRow("empty") << ""
                           << "4F3A-32" << QString() << "";
    QTest::newRow("absent") << QString() << QString() << QString() << "";
    QTest::newRow("overridden") << "4F3A-64" << QString() << "SITE-1"
                                << "SITE-1";
}

void tst_DeviceIdentity::fromRegistry()
{
#ifndef Q_OS_WIN
    QSKIP("the device id's registry is Windows's");
#else
    QFETCH(QString, in64);
    QFETCH(QString, in32);
    QFETCH(QString, devID);
    QFETCH(QString, expected);
    // Written as a site would, with reg.exe, into each view.
    const QString key = QStringLiteral("HKLM\\SOFTWARE\\Nimbra\\Cryptography");
    const auto reg = [&key](const QString &value, const QString &view) {
        QStringList args {QStringLiteral("delete"), key, QStringLiteral("/f"), view};
        if (!value.isNull())
            args = QStringList {QStringLiteral("add"), key,
                                QStringLiteral("/v"),  QStringLiteral("uuid"),
                                QStringLiteral("/t"),  QStringLiteral("REG_SZ"),
                                QStringLiteral("/d"),  value,
                                QStringLiteral("/f"),  view};
        QProcess process;
        process.start(QStringLiteral("reg.exe"), args);
        return process.waitForFinished(30000) && (value.isNull() || process.exitCode() == 0);
    };
    QVERIFY(reg(in64, QStringLiteral("/reg:64")));
    QVERIFY(reg(in32, QStringLiteral("/reg:32")));
    TestSupport::writeConfig({{QStringLiteral("Server/devID"), devID}});
    QCOMPARE(DeviceIdentity::applyOverride(DeviceIdentity::registryValue()), expected);
    QVERIFY(reg(QString(), QStringLiteral("/reg:64")));
    QVERIFY(reg(QString(), QStringLiteral("/reg:32")));
#endif
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
