#include "config/AppContext.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

// "-" in the version columns: the client has no config.ini at all.
static const char NoFile[] = "-";

class tst_ClientLocations : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void versionRule_data();
    void versionRule();
    void locations_data();
    void locations();
    void missingHeronFolder();
    void missingAtriumFolder();
    void unsetAppDataUsesUserDataFolder_data();
    void unsetAppDataUsesUserDataFolder();
    void appDataReadAfresh();
    void decidedOncePerRun();
    void concurrentCallsAgree();

private:
    void writeClientVersion(const QString &client, const QString &version);

    QScopedPointer<QTemporaryDir> appData;
    QByteArray savedAppData;
    bool hadAppData = false;
};

void tst_ClientLocations::init()
{
    hadAppData = qEnvironmentVariableIsSet("APPDATA");
    savedAppData = qgetenv("APPDATA");
    appData.reset(new QTemporaryDir);
    QVERIFY(appData->isValid());
    qputenv("APPDATA", QFile::encodeName(appData->path()));
    QVERIFY(QDir(appData->path()).mkpath(QStringLiteral("heron")));
    QVERIFY(QDir(appData->path()).mkpath(QStringLiteral("atrium/bin")));
}

void tst_ClientLocations::cleanup()
{
    if (hadAppData)
        qputenv("APPDATA", savedAppData);
    else
        qunsetenv("APPDATA");
    AppContext::instance().channelId = -1;
    appData.reset();
}

void tst_ClientLocations::writeClientVersion(const QString &client, const QString &version)
{
    if (version == QLatin1String(NoFile))
        return;
    QFile file(appData->path() + QLatin1Char('/') + client + QStringLiteral("/config.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nname=" + client.toUtf8() + "\n[Server]\nversion=" + version.toUtf8()
               + "\nhost=example\n");
}

void tst_ClientLocations::versionRule_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("isNew");

    QTest::newRow("0.10") << "0.10" << true;
    QTest::newRow("1.0") << "1.0" << true;
    QTest::newRow("0.9") << "0.9" << false;
    QTest::newRow("0.9.12") << "0.9.12" << false;
    QTest::newRow("0.9.8") << "0.9.8" << false;
    QTest::newRow("0.10.2") << "0.10.2" << true;
    QTest::newRow("1.2") << "1.2" << true;
    QTest::newRow("letters") << "ab.cd" << false;
    QTest::newRow("letters then minor") << "ab.10" << true;
    QTest::newRow("one part 1") << "1" << true;
    QTest::newRow("one part 0") << "0" << false;
    QTest::newRow("one part letters") << "x" << false;
    QTest::newRow("empty major") << ".10" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("only dots") << ".." << false;
}

void tst_ClientLocations::versionRule()
{
    QFETCH(QString, version);
    QFETCH(bool, isNew);
    QCOMPARE(StudentClient::isNewVersion(version), isNew);
}

void tst_ClientLocations::locations_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("atrium");
    QTest::addColumn<QString>("heron");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("resource");

    const QString heronExe = QStringLiteral("/heron/run.bat");
    const QString heronRes = QStringLiteral("/heron/resource/");
    const QString atriumExe = QStringLiteral("/atrium/bin/Lectern.exe");
    const QString atriumRes = QStringLiteral("/atrium/resource/");

    // Channel 0 is heron whatever the versions say.
    QTest::newRow("0 atrium 0.9.8 heron 0.10.2") << 0 << "0.9.8"
                                                 << "0.10.2"
                                                 << "0.10.2" << heronExe << heronRes;
    QTest::newRow("0 atrium 0.10.2 heron 0.9.8") << 0 << "0.10.2"
                                                 << "0.9.8"
                                                 << "0.9.8" << heronExe << heronRes;
    QTest::newRow("0 atrium 1.2 heron none") << 0 << "1.2" << NoFile << "" << heronExe << heronRes;
    QTest::newRow("0 none") << 0 << NoFile << NoFile << "" << heronExe << heronRes;

    QTest::newRow("1 atrium 0.10.2") << 1 << "0.10.2" << NoFile << "0.10.2" << heronExe << heronRes;
    QTest::newRow("1 atrium 0.9.8") << 1 << "0.9.8" << NoFile << "0.9.8" << atriumExe << atriumRes;
    QTest::newRow("1 atrium 1.2") << 1 << "1.2"
                                  << "0.9.8"
                                  << "1.2" << heronExe << heronRes;
    QTest::newRow("1 atrium 0.9.8 heron 1.2") << 1 << "0.9.8"
                                              << "1.2"
                                              << "0.9.8" << atriumExe << atriumRes;
    QTest::newRow("1 heron 1.2 only") << 1 << NoFile << "1.2"
                                      << "1.2" << heronExe << heronRes;
    QTest::newRow("1 heron 0.10.2 only") << 1 << NoFile << "0.10.2"
                                         << "0.10.2" << heronExe << heronRes;
    QTest::newRow("1 heron 0.9.8 only") << 1 << NoFile << "0.9.8"
                                        << "0.9.8" << atriumExe << atriumRes;
    QTest::newRow("1 atrium empty heron 0.10.2") << 1 << ""
                                                 << "0.10.2"
                                                 << "0.10.2" << heronExe << heronRes;
    QTest::newRow("1 none") << 1 << NoFile << NoFile << "" << atriumExe << atriumRes;
    QTest::newRow("1 letters") << 1 << "ab.cd" << NoFile << "ab.cd" << atriumExe << atriumRes;
    QTest::newRow("1 one part 1") << 1 << "1" << NoFile << "1" << heronExe << heronRes;
    QTest::newRow("1 one part 0") << 1 << "0" << NoFile << "0" << atriumExe << atriumRes;

    // Before a choice: the application-data folder itself.
    QTest::newRow("-1 atrium 0.10.2 heron 0.9.8") << -1 << "0.10.2"
                                                  << "0.9.8"
                                                  << "0.9.8"
                                                  << ""
                                                  << "/resource/";
    QTest::newRow("-1 heron 1.2") << -1 << NoFile << "1.2"
                                  << "1.2"
                                  << ""
                                  << "/resource/";
    QTest::newRow("-1 none") << -1 << NoFile << NoFile << ""
                             << ""
                             << "/resource/";
}

void tst_ClientLocations::locations()
{
    QFETCH(int, channel);
    QFETCH(QString, atrium);
    QFETCH(QString, heron);
    QFETCH(QString, version);
    QFETCH(QString, executable);
    QFETCH(QString, resource);

    writeClientVersion(QStringLiteral("atrium"), atrium);
    writeClientVersion(QStringLiteral("heron"), heron);
    AppContext &context = AppContext::instance();
    context.channelId = channel;

    const QString a = appData->path();
    QCOMPARE(context.clientVersion(), version);
    QCOMPARE(context.clientExecutablePath(), a + executable);
    QCOMPARE(context.clientResourcePath(), a + resource);
    // Reading the clients' settings writes nothing into their folders.
    QCOMPARE(QFile::exists(a + QStringLiteral("/atrium/config.ini")),
             atrium != QLatin1String(NoFile));
    QCOMPARE(QFile::exists(a + QStringLiteral("/heron/config.ini")),
             heron != QLatin1String(NoFile));
}

void tst_ClientLocations::missingHeronFolder()
{
    const QString a = appData->path();
    QVERIFY(QDir(a + QStringLiteral("/heron")).removeRecursively());
    writeClientVersion(QStringLiteral("atrium"), QStringLiteral("0.10.2"));
    AppContext &context = AppContext::instance();

    context.channelId = 0;
    QCOMPARE(context.clientExecutablePath(), a + QStringLiteral("/run.bat"));
    QCOMPARE(context.clientResourcePath(), a + QStringLiteral("/resource/"));
    QCOMPARE(context.clientVersion(), QString());

    // A new atrium version sends channel 1 to heron too, which is not there.
    context.channelId = 1;
    QCOMPARE(context.clientExecutablePath(), a + QStringLiteral("/run.bat"));
    QCOMPARE(context.clientResourcePath(), a + QStringLiteral("/resource/"));
    QVERIFY(!QFileInfo::exists(a + QStringLiteral("/heron")));
}

void tst_ClientLocations::missingAtriumFolder()
{
    const QString a = appData->path();
    QVERIFY(QDir(a + QStringLiteral("/atrium")).removeRecursively());
    AppContext &context = AppContext::instance();
    context.channelId = 1;
    QCOMPARE(context.clientVersion(), QString());
    QCOMPARE(context.clientExecutablePath(), a + QStringLiteral("/Lectern.exe"));
    QCOMPARE(context.clientResourcePath(), a + QStringLiteral("/resource/"));
}

void tst_ClientLocations::unsetAppDataUsesUserDataFolder_data()
{
    QTest::addColumn<bool>("unset");
    QTest::newRow("unset") << true;
    QTest::newRow("empty") << false;
}

void tst_ClientLocations::unsetAppDataUsesUserDataFolder()
{
#ifdef Q_OS_WIN
    QSKIP("Windows keeps the working directory when APPDATA is not set");
#else
    QFETCH(bool, unset);
    QTemporaryDir dataHome;
    QTemporaryDir work;
    QVERIFY(dataHome.isValid() && work.isValid());
    const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
    const bool hadDataHome = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    if (unset)
        qunsetenv("APPDATA");
    else
        qputenv("APPDATA", QByteArray());
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));
    // The working directory has a heron folder too: it must not be the one chosen.
    QVERIFY(QDir(work.path()).mkpath(QStringLiteral("heron")));
    QVERIFY(QDir(dataHome.path()).mkpath(QStringLiteral("heron")));

    const QString fallback = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString appDataPath = AppContext::appDataPath();
    AppContext &context = AppContext::instance();
    context.channelId = 0;
    const QString heronExe = context.clientExecutablePath();
    const QString heronRes = context.clientResourcePath();
    context.channelId = -1;
    const QString plainExe = context.clientExecutablePath();

    QDir::setCurrent(previous);
    if (hadDataHome)
        qputenv("XDG_DATA_HOME", savedDataHome);
    else
        qunsetenv("XDG_DATA_HOME");

    QCOMPARE(fallback, dataHome.path());
    QCOMPARE(appDataPath, dataHome.path());
    QCOMPARE(heronExe, dataHome.path() + QStringLiteral("/heron/run.bat"));
    QCOMPARE(heronRes, dataHome.path() + QStringLiteral("/heron/resource/"));
    QCOMPARE(plainExe, dataHome.path());
#endif
}

void tst_ClientLocations::appDataReadAfresh()
{
    QTemporaryDir other;
    QVERIFY(other.isValid());
    QVERIFY(QDir(other.path()).mkpath(QStringLiteral("heron")));
    AppContext &context = AppContext::instance();
    context.channelId = 0;
    QCOMPARE(context.clientResourcePath(), appData->path() + QStringLiteral("/heron/resource/"));
    qputenv("APPDATA", QFile::encodeName(other.path()));
    QCOMPARE(AppContext::appDataPath(), other.path());
    QCOMPARE(context.clientResourcePath(), other.path() + QStringLiteral("/heron/resource/"));
}

// The list request reports a version and the copy lays the files out for a client: both must be
// about the same client, also when its config.ini changes in between.
void tst_ClientLocations::decidedOncePerRun()
{
    writeClientVersion(QStringLiteral("atrium"), QStringLiteral("0.9.8"));
    AppContext &context = AppContext::instance();
    context.channelId = 1;
    const StudentClient first = context.studentClient();
    QCOMPARE(first.kind, StudentClient::Atrium);
    writeClientVersion(QStringLiteral("atrium"), QStringLiteral("0.10.2"));
    QCOMPARE(context.clientVersion(), QStringLiteral("0.9.8"));
    QCOMPARE(context.studentClient().newLayout, false);
    QCOMPARE(context.clientExecutablePath(), first.executable);
    QCOMPARE(context.clientResourcePath(), appData->path() + QStringLiteral("/atrium/resource/"));
}

void tst_ClientLocations::concurrentCallsAgree()
{
    writeClientVersion(QStringLiteral("atrium"), QStringLiteral("0.9.8"));
    writeClientVersion(QStringLiteral("heron"), QStringLiteral("0.10.2"));
    AppContext &context = AppContext::instance();
    context.channelId = 1;
    const QString expected = context.clientVersion() + QLatin1Char('|')
            + context.clientResourcePath() + QLatin1Char('|') + context.clientExecutablePath();
    QCOMPARE(expected,
             QStringLiteral("0.9.8|") + appData->path() + QStringLiteral("/atrium/resource/|")
                     + appData->path() + QStringLiteral("/atrium/bin/Lectern.exe"));

    // Each pool thread makes its own QDir and QSettings objects: every answer must agree.
    QThreadPool pool;
    pool.setMaxThreadCount(8);
    QList<QFuture<QStringList>> futures;
    for (int i = 0; i < 8; ++i) {
        futures << QtConcurrent::run(&pool, [&context, expected] {
            QStringList wrong;
            for (int n = 0; n < 50; ++n) {
                const QString seen = context.clientVersion() + QLatin1Char('|')
                        + context.clientResourcePath() + QLatin1Char('|')
                        + context.clientExecutablePath();
                if (seen != expected)
                    wrong << seen;
            }
            return wrong;
        });
    }
    for (QFuture<QStringList> &future : futures)
        QCOMPARE(future.result(), QStringList());
}

QTEST_GUILESS_MAIN(tst_ClientLocations)
#include "tst_clientlocations.moc"
