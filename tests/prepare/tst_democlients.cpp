#include "config/AppContext.h"

#include "TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// The demo's student clients, as the demo data generator writes them.
class tst_DemoClients : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void versions_data();
    void versions();
    void channelFindsItsClient_data();
    void channelFindsItsClient();
    void startFileRecordsItsStart_data();
    void startFileRecordsItsStart();

private:
    QTemporaryDir out;
    QString appData;
};

void tst_DemoClients::initTestCase()
{
    QVERIFY(out.isValid());
    QProcess setup;
    setup.start(QStringLiteral(CORVIN_DEMO_SETUP), {out.path()});
    QVERIFY(setup.waitForFinished(60000));
    QCOMPARE(setup.exitStatus(), QProcess::NormalExit);
    QCOMPARE(setup.exitCode(), 0);
    appData = out.path() + QStringLiteral("/appdata");
    qputenv("APPDATA", QFile::encodeName(appData));
}

void tst_DemoClients::cleanup()
{
    AppContext::instance().channelId = -1;
}

void tst_DemoClients::versions_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("version");
    QTest::newRow("heron") << "heron"
                           << "1.2";
    QTest::newRow("atrium") << "atrium"
                            << "0.9.8";
}

void tst_DemoClients::versions()
{
    QFETCH(QString, client);
    QFETCH(QString, version);
    QSettings settings(appData + QLatin1Char('/') + client + QStringLiteral("/config.ini"),
                       QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("Server/version")).toString(), version);
}

void tst_DemoClients::channelFindsItsClient_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("startFile");
    QTest::addColumn<QString>("resourceFolder");
    QTest::newRow("channel 0") << 0 << "/heron/run.bat"
                               << "/heron/resource/";
    // atrium 0.9.8 is an old client: its own executable and folder.
    QTest::newRow("channel 1") << 1 << "/atrium/bin/Lectern.exe"
                               << "/atrium/resource/";
}

void tst_DemoClients::channelFindsItsClient()
{
    QFETCH(int, channel);
    QFETCH(QString, startFile);
    QFETCH(QString, resourceFolder);
    AppContext &context = AppContext::instance();
    context.channelId = channel;
    QCOMPARE(context.clientExecutablePath(), appData + startFile);
    QCOMPARE(context.clientResourcePath(), appData + resourceFolder);
    QVERIFY(context.studentClient().installed());
    const QFileInfo info(appData + startFile);
    QVERIFY(info.isFile());
    QVERIFY(info.isExecutable());
}

void tst_DemoClients::startFileRecordsItsStart_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("startFile");
    QTest::newRow("heron") << "heron"
                           << "/heron/run.bat";
    QTest::newRow("atrium") << "atrium"
                            << "/atrium/bin/Lectern.exe";
}

void tst_DemoClients::startFileRecordsItsStart()
{
    QFETCH(QString, client);
    QFETCH(QString, startFile);
    const QString record = out.path() + QStringLiteral("/client-started.log");
    QFile::remove(record);
    const QString copied
            = appData + QLatin1Char('/') + client + QStringLiteral("/resource/voice/a.mp3");
    QVERIFY(QDir().mkpath(QFileInfo(copied).path()));
    QFile file(copied);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    // Started the way the launch does: no arguments, from another working directory.
    QProcess start;
    start.setWorkingDirectory(QDir::tempPath());
    start.start(appData + startFile, QStringList());
    QVERIFY(start.waitForFinished(30000));
    QCOMPARE(start.exitStatus(), QProcess::NormalExit);
    QCOMPARE(start.exitCode(), 0);

    QFile log(record);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'));
    lines.removeAll(QString());
    QVERIFY(lines.size() >= 2);
    const QRegularExpression first(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d %1 started$").arg(client));
    QVERIFY2(first.match(lines.first()).hasMatch(), qPrintable(lines.first()));
    QVERIFY2(lines.contains(QDir::cleanPath(copied)), qPrintable(lines.join(QLatin1Char('\n'))));
}

QTEST_MAIN(tst_DemoClients)
#include "tst_democlients.moc"
