#include "app/AboutDialog.h"
#include "app/AboutInfo.h"
#include "app/BuildInfo.h"
#include "app/DiagnosticsExport.h"
#include "app/LogMessageHandler.h"
#include "config/AppContext.h"
#include "login/LoginWidget.h"

#include "StandInServer.h"
#include "TestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QJsonArray>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtGui/private/qzipreader_p.h>
#include <QtTest>

namespace {

const QString password = QStringLiteral("corvin123");
const QString token = QStringLiteral("demo-token-1");

QMap<QString, QByteArray> unzip(const QString &path)
{
    QMap<QString, QByteArray> files;
    QZipReader zip(path);
    for (const QZipReader::FileInfo &info : zip.fileInfoList())
        files.insert(info.filePath, zip.fileData(info.filePath));
    return files;
}

// Sets a policy value the way IT's Group Policy leaves it.
bool setPolicy(const QString &root, const QString &name, const QString &type, const QString &data)
{
    return QProcess::execute(QStringLiteral("reg"),
                             {QStringLiteral("add"),
                              root + QStringLiteral("\\Software\\Policies\\Corvin"),
                              QStringLiteral("/v"), name, QStringLiteral("/t"), type,
                              QStringLiteral("/d"), data, QStringLiteral("/f")})
            == 0;
}

} // namespace

// What support works with: the About box, the diagnostics package, and the settings IT sets by
// Group Policy.
class tst_Support : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void aboutText();
    void aboutBoxCopiesAndOpensOnF1();
    void diagnosticsPackage_data();
    void diagnosticsPackage();
    void commandLine();
    void policies_data();
    void policies();

private:
    StandInServer server;
    QTemporaryDir work;
    QString previousDir;
    QString program;
};

void tst_Support::initTestCase()
{
    const QJsonObject account {{QStringLiteral("username"), QStringLiteral("teacher")},
                               {QStringLiteral("password"), password},
                               {QStringLiteral("managerID"), QStringLiteral("T1")},
                               {QStringLiteral("token"), token}};
    server.setScenario({{QStringLiteral("accounts"), QJsonArray {account}}});
    server.script(QStringLiteral("/clb/class/getCurrentLesson"),
                  ScriptedReply {200, QByteArray("no lesson")});
    QVERIFY(server.start());
    previousDir = QDir::currentPath();
    // Absolute before the working folder changes: under Wine a path without a drive would be
    // looked for on the new folder's drive.
    program = QFileInfo(QStringLiteral(CORVIN_EXECUTABLE)).absoluteFilePath();
    QVERIFY(QDir::setCurrent(work.path()));
}

void tst_Support::init()
{
#ifdef Q_OS_WIN
    for (const QString &root : {QStringLiteral("HKLM"), QStringLiteral("HKCU")})
        QProcess::execute(QStringLiteral("reg"),
                          {QStringLiteral("delete"),
                           root + QStringLiteral("\\Software\\Policies\\Corvin"),
                           QStringLiteral("/f")});
#endif
}

void tst_Support::cleanupTestCase()
{
    QDir::setCurrent(previousDir);
    init();
}

void tst_Support::aboutText()
{
    // The address's user info never shows.
    TestSupport::writeConfig(
            {{QStringLiteral("Server/CorvinHost"),
              QStringLiteral("http://teacher:%1@127.0.0.1:%2").arg(password).arg(server.port())},
             {QStringLiteral("Server/MD5"), QStringLiteral("0")}});
    const QString text = AboutInfo::text();
    const QStringList expected {
            QStringLiteral("Corvin %1").arg(BuildInfo::version()),
            QStringLiteral("Qt: %1").arg(QString::fromLatin1(qVersion())),
            QStringLiteral("服务地址: http://127.0.0.1:%1").arg(server.port()),
            QStringLiteral("  Server/CorvinHost = http://127.0.0.1:%1 (config.ini)")
                    .arg(server.port()),
            QStringLiteral("  Server/MD5 = 0 (config.ini)"),
            QStringLiteral("  Network/Proxy = system (default)"),
            QStringLiteral("日志目录: %1").arg(QDir::toNativeSeparators(work.filePath("log")))};
    for (const QString &line : expected)
        QVERIFY2(text.split(QLatin1Char('\n')).contains(line), qPrintable(line + "\n" + text));
    QVERIFY(!text.contains(password));
    // The id the symbols package and a dump carry: 20 bytes on both platforms here.
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$"))
                     .match(BuildInfo::buildId())
                     .hasMatch(),
             qPrintable(BuildInfo::buildId()));
}

void tst_Support::aboutBoxCopiesAndOpensOnF1()
{
    LoginWidget login;
    login.show();
    QVERIFY(QTest::qWaitForWindowActive(&login));
    QString copied;
    bool named = false;
    QTimer::singleShot(200, [&] {
        auto *about = qobject_cast<AboutDialog *>(QApplication::activeModalWidget());
        if (!about)
            return;
        named = TestSupport::unnamedControls(about).isEmpty();
        about->findChild<QPushButton *>(QStringLiteral("copyButton"))->click();
        copied = QApplication::clipboard()->text();
        about->accept();
    });
    QTest::keyClick(&login, Qt::Key_F1);
    QCOMPARE(copied, AboutInfo::text());
    QVERIFY(named);
}

void tst_Support::diagnosticsPackage_data()
{
    QTest::addColumn<bool>("withDumps");
    QTest::newRow("without dumps") << false;
    QTest::newRow("with dumps") << true;
}

// The last ten logs, config.ini and the reports; a login's password and token nowhere in it.
void tst_Support::diagnosticsPackage()
{
    QFETCH(bool, withDumps);
    QDir(work.filePath(QStringLiteral("log"))).removeRecursively();
    QDir(work.filePath(QStringLiteral("dump"))).removeRecursively();
    server.clearRequests();
    QVERIFY(QDir().mkpath(work.filePath(QStringLiteral("log")))
            && QDir().mkpath(work.filePath(QStringLiteral("dump"))));
    // Twelve earlier runs' logs and dumps, the newest last: their times tell which are kept.
    for (int i = 0; i < 12; ++i) {
        for (const QString &name :
             {QStringLiteral("log/log202612010800%1.log").arg(i, 2, 10, QLatin1Char('0')),
              QStringLiteral("dump/%1.dmp").arg(i)}) {
            QFile file(work.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("old run\n") > 0 && file.flush());
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(i - 100),
                                     QFileDevice::FileModificationTime));
        }
    }
    TestSupport::writeConfig(
            {{QStringLiteral("Server/CorvinHost"),
              QStringLiteral("http://teacher:%1@127.0.0.1:%2").arg(password).arg(server.port())}});

    // A real login through the run's log.
    runTimestamp = QStringLiteral("20261209090000");
    const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
    {
        LoginWidget login;
        login.findChild<QLineEdit *>(QStringLiteral("lineEdit"))
                ->setText(QStringLiteral("teacher"));
        login.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->setText(password);
        login.findChild<QRadioButton *>(QStringLiteral("radioButton_atrium"))->setChecked(true);
        auto *button = login.findChild<QPushButton *>(QStringLiteral("pushButton"));
        button->click();
        QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 10000);
    }
    qInstallMessageHandler(previous);
    QCOMPARE(server.requests(QStringLiteral("/clb/class/getCurrentLesson")).size(), 1);

    const QString zipPath = work.filePath(QStringLiteral("out.zip"));
    const DiagnosticsExport::Result result = DiagnosticsExport::write(zipPath, withDumps);
    QVERIFY2(result.ok, qPrintable(result.errorString));
    const QMap<QString, QByteArray> files = unzip(zipPath);
    const QStringList names = files.keys();
    QStringList reported = result.entries;
    reported.sort();
    QCOMPARE(names, reported);
    QCOMPARE(names.filter(QRegularExpression(QStringLiteral("^log/"))).size(), 10);
    QVERIFY(names.contains(QStringLiteral("log/log20261209090000.log")));
    QVERIFY(!names.contains(QStringLiteral("log/log20261201080000.log")));
    const QStringList newestDumps {"dump/10.dmp", "dump/11.dmp", "dump/7.dmp", "dump/8.dmp",
                                   "dump/9.dmp"};
    QCOMPARE(names.filter(QRegularExpression(QStringLiteral("^dump/"))),
             withDumps ? newestDumps : QStringList());
    for (const char *name : {"about.txt", "settings.txt", "connection.txt", "config.ini"})
        QVERIFY2(names.contains(QLatin1String(name)), name);
    QVERIFY(files.value(QStringLiteral("connection.txt"))
                    .contains(QStringLiteral("GET http://127.0.0.1:%1/: HTTP status")
                                      .arg(server.port())
                                      .toUtf8()));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        for (const QString &secret : {password, token}) {
            const QByteArray utf16(reinterpret_cast<const char *>(secret.utf16()),
                                   secret.size() * 2);
            QVERIFY2(!it.value().contains(secret.toUtf8()) && !it.value().contains(utf16),
                     qPrintable(it.key() + QStringLiteral(" holds ") + secret));
        }
    }
}

// For IT, without a window and beside a running Corvin: only the zip is written.
void tst_Support::commandLine()
{
    QTemporaryDir runDir;
    QTemporaryDir cliDir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess running;
    running.setProcessEnvironment(env);
    running.setWorkingDirectory(runDir.path());
    running.start(program, QStringList());
    QVERIFY(running.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QDir(runDir.filePath(QStringLiteral("log"))).exists(), 10000);

    QProcess cli;
    cli.setProcessEnvironment(env);
    cli.setWorkingDirectory(cliDir.path());
    const QString zipPath = cliDir.filePath(QStringLiteral("support.zip"));
    cli.start(program, {QStringLiteral("--diagnostics"), zipPath});
    QVERIFY(cli.waitForFinished(60000));
    running.kill();
    running.waitForFinished();
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(QDir(cliDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList {QStringLiteral("support.zip")});
    QVERIFY(unzip(zipPath).contains(QStringLiteral("about.txt")));

    cli.start(program, {QStringLiteral("--diagnostics")});
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), 2);
}

void tst_Support::policies_data()
{
#ifndef Q_OS_WIN
    QSKIP("Group Policy lives in the Windows registry");
#endif
    QTest::addColumn<QStringList>("machine"); // name, type, data
    QTest::addColumn<QStringList>("user");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected"); // the report's line
    QTest::addColumn<QString>("ignored"); // part of the line for a value passed over
    const QString host = QStringLiteral("Server/CorvinHost");
    QTest::newRow("machine over config")
            << QStringList {"CorvinHost", "REG_SZ", "https://machine.example"}
            << QStringList {"CorvinHost", "REG_SZ", "https://user.example"} << host
            << "Server/CorvinHost = https://machine.example (machine policy)" << QString();
    QTest::newRow("user over config")
            << QStringList() << QStringList {"CorvinHost", "REG_SZ", "https://user.example"} << host
            << "Server/CorvinHost = https://user.example (user policy)" << QString();
    QTest::newRow("wrong type")
            << QStringList {"CorvinHost", "REG_DWORD", "1"} << QStringList() << host
            << "Server/CorvinHost = http://config.example (config.ini)"
            << "HKLM\\Software\\Policies\\Corvin\\CorvinHost: REG_DWORD, REG_SZ expected";
    QTest::newRow("not http") << QStringList {"CorvinHost", "REG_SZ", "ftp://machine.example"}
                              << QStringList {"CorvinHost", "REG_SZ", "https://user.example"}
                              << host << "Server/CorvinHost = https://user.example (user policy)"
                              << "\"ftp://machine.example\" is not an http or https address";
    QTest::newRow("digest check off")
            << QStringList {"MD5", "REG_DWORD", "0"} << QStringList() << "Server/MD5"
            << "Server/MD5 = 0 (machine policy)" << QString();
    QTest::newRow("proxy") << QStringList() << QStringList {"Proxy", "REG_SZ", "none"}
                           << "Network/Proxy"
                           << "Network/Proxy = none (user policy)" << QString();
    QTest::newRow("diagnostics off") << QStringList {"DisableDiagnostics", "REG_DWORD", "1"}
                                     << QStringList() << "Diagnostics/Disable"
                                     << "Diagnostics/Disable = 1 (machine policy)" << QString();
}

void tst_Support::policies()
{
    QFETCH(QStringList, machine);
    QFETCH(QStringList, user);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QFETCH(QString, ignored);
    TestSupport::writeConfig(
            {{QStringLiteral("Server/CorvinHost"), QStringLiteral("http://config.example")}});
    if (!machine.isEmpty())
        QVERIFY(setPolicy(QStringLiteral("HKLM"), machine[0], machine[1], machine[2]));
    if (!user.isEmpty())
        QVERIFY(setPolicy(QStringLiteral("HKCU"), user[0], user[1], user[2]));
    TestSupport::MessageCapture capture;
    AppContext::instance().logSettings();
    const QStringList lines = capture.texts();
    QVERIFY2(lines.contains(QStringLiteral("[AppContext][settings] %1").arg(expected)),
             qPrintable(lines.join('\n')));
    QCOMPARE(lines.filter(QStringLiteral("ignored")).size(), ignored.isEmpty() ? 0 : 1);
    if (!ignored.isEmpty())
        QVERIFY2(lines.filter(ignored).size() == 1, qPrintable(lines.join('\n')));
    if (key == QLatin1String("Diagnostics/Disable")) {
        const DiagnosticsExport::Result refused
                = DiagnosticsExport::write(work.filePath("no.zip"), false);
        QVERIFY(!refused.ok && !QFile::exists(work.filePath("no.zip")));
        QCOMPARE(refused.errorString, QStringLiteral("诊断信息导出已被管理员通过组策略关闭"));
    }
}

QTEST_MAIN(tst_Support)
#include "tst_support.moc"
