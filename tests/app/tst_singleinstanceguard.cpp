#include "app/SingleInstanceGuard.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {
// What a refused start's -1 reads as from outside.
#ifdef Q_OS_WIN
const int refusedCode = -1;
#else
const int refusedCode = 255;
#endif
} // namespace

// The guard in this process, and started programs racing for the product's key: the real
// executable and a probe that runs main's guard and refusal steps and closes the box itself.
class tst_SingleInstanceGuard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void lockFileLocation_data();
    void lockFileLocation();
    void secondGuardRefused();
    void unusableLockFileRefuses();
    void lockNotInheritedByStartedPrograms();

    void secondStartRefusedWhileFirstRuns();
    void killedInstanceDoesNotBlock();
    void refusedRealStartHoldsNothing();
    void racingStartsLetOneThrough();

private:
    std::unique_ptr<QProcess> start(const QString &program, const QStringList &args,
                                    const QString &dir = QString());
    QString probe(int *exitCode);
    bool waitForLog(const QString &workDir);

    QTemporaryDir runtimeDir;
    QTemporaryDir workDir;
    QString key;
    const QString productKey = QStringLiteral("2E5488E6-539E-46BC-8C92-634119162D59");
};

void tst_SingleInstanceGuard::initTestCase()
{
    QVERIFY(runtimeDir.isValid() && workDir.isValid());
    // A private runtime folder: nothing else that claims the product's key interferes.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
}

void tst_SingleInstanceGuard::init()
{
    key = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
}

void tst_SingleInstanceGuard::lockFileLocation_data()
{
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<bool>("inRuntime");
    QTest::newRow("runtime folder") << "existing" << true;
    QTest::newRow("no runtime folder set") << "" << false;
    QTest::newRow("runtime folder missing") << "missing" << false;
}

void tst_SingleInstanceGuard::lockFileLocation()
{
#ifdef Q_OS_WIN
    QSKIP("the lock file is the Linux guard's; Windows claims a named shared-memory segment");
#else
    QFETCH(QString, runtime);
    QFETCH(bool, inRuntime);
    if (runtime == QLatin1String("existing"))
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    else if (runtime == QLatin1String("missing"))
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path() + QStringLiteral("/no")));
    else
        qunsetenv("XDG_RUNTIME_DIR");

    const QString path = SingleInstanceGuard::lockFilePath(key);
    const QString expected = inRuntime
            ? runtimeDir.path() + QLatin1Char('/') + key + QStringLiteral(".lock")
            : QDir::tempPath() + QLatin1Char('/') + key + QLatin1Char('-')
                    + QString::number(getuid()) + QStringLiteral(".lock");
    QCOMPARE(path, expected);

    {
        SingleInstanceGuard guard(key);
        QVERIFY(guard.isFirstInstance());
        QVERIFY(QFileInfo::exists(path));
    }
    // Left in place on purpose (see the guard); removed here so /tmp stays clean.
    QFile::remove(path);
#endif
}

void tst_SingleInstanceGuard::secondGuardRefused()
{
    auto first = std::make_unique<SingleInstanceGuard>(key);
    QVERIFY(first->isFirstInstance());
    {
        SingleInstanceGuard second(key);
        QVERIFY(!second.isFirstInstance());
    }
    // The refused guard's end leaves the first one's claim alone.
    {
        SingleInstanceGuard third(key);
        QVERIFY(!third.isFirstInstance());
    }
    SingleInstanceGuard otherKey(key + QStringLiteral("-other"));
    QVERIFY(otherKey.isFirstInstance());

    first.reset();
    SingleInstanceGuard afterwards(key);
    QVERIFY(afterwards.isFirstInstance());
}

void tst_SingleInstanceGuard::unusableLockFileRefuses()
{
#ifdef Q_OS_WIN
    QSKIP("the lock file is the Linux guard's; Windows claims a named shared-memory segment");
#else
    // A folder where the lock file belongs: the claim fails, which counts as refused.
    QVERIFY(QDir(runtimeDir.path()).mkdir(key + QStringLiteral(".lock")));
    SingleInstanceGuard guard(key);
    QVERIFY(!guard.isFirstInstance());
#endif
}

void tst_SingleInstanceGuard::lockNotInheritedByStartedPrograms()
{
    // The product ends right after starting the student client; a client that inherited the
    // lock would block every later start while it runs.
    auto guard = std::make_unique<SingleInstanceGuard>(key);
    QVERIFY(guard->isFirstInstance());
    auto client = start(QStringLiteral(CORVIN_INSTANCE_PROBE), {QStringLiteral("sleep")});
    QVERIFY(client->waitForStarted());
    guard.reset();
    SingleInstanceGuard next(key);
    const bool first = next.isFirstInstance();
    client->kill();
    client->waitForFinished();
    QVERIFY(first);
}

std::unique_ptr<QProcess> tst_SingleInstanceGuard::start(const QString &program,
                                                         const QStringList &args,
                                                         const QString &dir)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(dir.isEmpty() ? workDir.path() : dir);
    process->start(program, args);
    return process;
}

// Starts the probe and returns what it printed; the exit code goes to `exitCode`.
QString tst_SingleInstanceGuard::probe(int *exitCode)
{
    auto process = start(QStringLiteral(CORVIN_INSTANCE_PROBE), {QStringLiteral("probe")});
    if (!process->waitForFinished(30000)) {
        process->kill();
        process->waitForFinished();
        *exitCode = -1000;
        return QString();
    }
    *exitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -2000;
    return QString::fromUtf8(process->readAllStandardOutput());
}

// The real executable has claimed the key (step 1) once its first log record exists (step 5).
bool tst_SingleInstanceGuard::waitForLog(const QString &dir)
{
    const QDir logDir(dir + QStringLiteral("/log"));
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000) {
        for (const QString &name : logDir.entryList(QDir::Files)) {
            QFile file(logDir.filePath(name));
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains("current currentPath: "))
                return true;
        }
        QTest::qWait(20);
    }
    return false;
}

void tst_SingleInstanceGuard::secondStartRefusedWhileFirstRuns()
{
    QTemporaryDir firstDir;
    auto first = start(QStringLiteral(CORVIN_EXECUTABLE), {}, firstDir.path());
    QVERIFY(first->waitForStarted());
    QVERIFY(waitForLog(firstDir.path()));

    int code = 0;
    const QString refused = probe(&code);
    QCOMPARE(code, refusedCode);
    QCOMPARE(refused, QStringLiteral("refused\n提示\n程序已经运行,请关闭之前程序\nOK\n"));
    QCOMPARE(first->state(), QProcess::Running);

    // A third start is still refused: the refused one took nothing away from the first.
    QCOMPARE(probe(&code), refused);
    QCOMPARE(code, refusedCode);
    QCOMPARE(first->state(), QProcess::Running);

    first->kill();
    QVERIFY(first->waitForFinished());
    QCOMPARE(probe(&code), QStringLiteral("first\n"));
    QCOMPARE(code, 0);
    // A normal end releases the claim too.
    QCOMPARE(probe(&code), QStringLiteral("first\n"));
    QCOMPARE(code, 0);
}

void tst_SingleInstanceGuard::killedInstanceDoesNotBlock()
{
    QTemporaryDir firstDir;
    auto first = start(QStringLiteral(CORVIN_EXECUTABLE), {}, firstDir.path());
    QVERIFY(first->waitForStarted());
    QVERIFY(waitForLog(firstDir.path()));
    // SIGKILL, or TerminateProcess on Windows: nothing of the program runs at its end.
    first->kill();
    QVERIFY(first->waitForFinished());
    QCOMPARE(first->exitStatus(), QProcess::CrashExit);

    // Started from another folder as well: the claim does not depend on the working directory.
    QTemporaryDir secondDir;
    auto second = start(QStringLiteral(CORVIN_EXECUTABLE), {}, secondDir.path());
    QVERIFY(second->waitForStarted());
    QVERIFY(waitForLog(secondDir.path()));
    // The new start holds the key, so it runs (a refused one would hold nothing).
    int code = 0;
    QVERIFY(probe(&code).startsWith(QStringLiteral("refused\n")));
    QCOMPARE(code, refusedCode);
    QCOMPARE(second->state(), QProcess::Running);
    second->kill();
    QVERIFY(second->waitForFinished());
}

void tst_SingleInstanceGuard::refusedRealStartHoldsNothing()
{
    QTemporaryDir firstDir;
    auto first = start(QStringLiteral(CORVIN_EXECUTABLE), {}, firstDir.path());
    QVERIFY(first->waitForStarted());
    QVERIFY(waitForLog(firstDir.path()));

    QTemporaryDir secondDir;
    auto second = start(QStringLiteral(CORVIN_EXECUTABLE), {}, secondDir.path());
    QVERIFY(second->waitForStarted());
    QVERIFY(waitForLog(secondDir.path()));
    // The second real start was refused (it waits at its box); with the first gone the key is
    // free although the second still runs.
    first->kill();
    QVERIFY(first->waitForFinished());
    int code = 0;
    QCOMPARE(probe(&code), QStringLiteral("first\n"));
    QCOMPARE(code, 0);
    QCOMPARE(second->state(), QProcess::Running);
    second->kill();
    QVERIFY(second->waitForFinished());
}

void tst_SingleInstanceGuard::racingStartsLetOneThrough()
{
    for (int round = 0; round < 5; ++round) {
        std::vector<std::unique_ptr<QProcess>> racers;
        for (int i = 0; i < 3; ++i)
            racers.push_back(
                    start(QStringLiteral(CORVIN_INSTANCE_PROBE), {QStringLiteral("hold")}));
        // The refused ones end by themselves; the one that got through holds until its input
        // closes.
        QTRY_COMPARE_WITH_TIMEOUT(std::count_if(racers.begin(), racers.end(),
                                                [](const std::unique_ptr<QProcess> &p) {
                                                    return p->state() == QProcess::NotRunning;
                                                }),
                                  long(racers.size() - 1), 30000);
        int through = 0;
        for (auto &p : racers) {
            if (p->state() == QProcess::NotRunning) {
                QCOMPARE(p->exitCode(), refusedCode);
                QVERIFY(p->readAllStandardOutput().startsWith("refused\n"));
            } else {
                ++through;
                QTRY_VERIFY(p->canReadLine() || p->waitForReadyRead(10));
                QCOMPARE(p->readLine(), QByteArray("first\n"));
                p->closeWriteChannel();
                QVERIFY(p->waitForFinished());
                QCOMPARE(p->exitCode(), 0);
            }
        }
        QCOMPARE(through, 1);
    }
}

QTEST_GUILESS_MAIN(tst_SingleInstanceGuard)
#include "tst_singleinstanceguard.moc"
