#include "util/ProcessProbe.h"

#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The running-client probe against real child processes.
class tst_ProcessProbe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void runningByName_data();
    void runningByName();
    void endedProcessIsGone();
    void ownProcessIsListed();

private:
    QTemporaryDir temp;
};

void tst_ProcessProbe::initTestCase()
{
    QVERIFY(temp.isValid());
}

void tst_ProcessProbe::runningByName_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("asked");
    QTest::addColumn<bool>("running");

    // Names carry this test's process id: other runs on the machine must not disturb them.
    const QString id = QString::number(QCoreApplication::applicationPid());
    QTest::newRow("same name") << "Lectern" + id + ".exe"
                               << "Lectern" + id + ".exe" << true;
    QTest::newRow("capitals") << "LECTERN" + id + ".EXE"
                              << "Lectern" + id + ".exe" << true;
    QTest::newRow("lower case") << "lectern" + id + ".exe"
                                << "Lectern" + id + ".exe" << true;
    // Longer than the 15 characters the kernel keeps as the process name.
    QTest::newRow("long name") << "StudentClientLectern" + id + ".exe"
                               << "StudentClientLectern" + id + ".exe" << true;
    QTest::newRow("other name") << "Lectern" + id + ".bin"
                                << "Lectern" + id + ".exe" << false;
    QTest::newRow("name inside a longer one") << "MyLectern" + id + ".exe"
                                              << "Lectern" + id + ".exe" << false;
}

void tst_ProcessProbe::runningByName()
{
    QFETCH(QString, fileName);
    QFETCH(QString, asked);
    QFETCH(bool, running);

    const QString folder = temp.path() + QLatin1Char('/')
            + TestSupport::folderName(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(folder));
    const QString program = folder + QLatin1Char('/') + fileName;
    QVERIFY(TestSupport::makeSleeper(program));

    QVERIFY(!ProcessProbe::isRunning(asked));
    QProcess child;
    child.start(program, {QStringLiteral("60")});
    QVERIFY(child.waitForStarted(10000));
    QCOMPARE(ProcessProbe::isRunning(asked), running);
    child.kill();
    QVERIFY(child.waitForFinished(10000));
}

void tst_ProcessProbe::endedProcessIsGone()
{
    const QString name
            = QStringLiteral("Lectern%1-ended.exe").arg(QCoreApplication::applicationPid());
    const QString program = temp.path() + QLatin1Char('/') + name;
    QVERIFY(TestSupport::makeSleeper(program));
    QProcess child;
    child.start(program, {QStringLiteral("60")});
    QVERIFY(child.waitForStarted(10000));
    QVERIFY(ProcessProbe::isRunning(name));
    child.kill();
    QVERIFY(child.waitForFinished(10000));
    QVERIFY(!ProcessProbe::isRunning(name));
}

void tst_ProcessProbe::ownProcessIsListed()
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QVERIFY(ProcessProbe::runningNames().contains(self));
    QVERIFY(ProcessProbe::isRunning(self.toUpper()));
}

QTEST_MAIN(tst_ProcessProbe)
#include "tst_processprobe.moc"
