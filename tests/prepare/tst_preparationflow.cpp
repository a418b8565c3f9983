#include "util/ProcessProbe.h"

#include "StandInServer.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Ends a child process however the test function is left.
struct ProcessStopper
{
    QProcess *process;
    ~ProcessStopper()
    {
        process->kill();
        process->waitForFinished(10000);
    }
};

const QString replacePath = QStringLiteral("/clb/class/replaceClassStudent");
const QString confirmBox = QStringLiteral("BOX\tCorvin助手\t 学生端即将启动");
const QString runningBox = QStringLiteral("BOX\tCorvin助手\t 请手动关闭学生端");
const QString failedStartBox = QStringLiteral("BOX\t提示\t学生端启动失败，请确认学生端已正确安装");

struct CoursewareFile
{
    QString localPath;
    QString fileType; // empty for flow files
};

const QList<CoursewareFile> coursewareFiles {
        {QStringLiteral("flow.xml"), QString()},
        {QStringLiteral("pages/p1.xml"), QString()},
        {QStringLiteral("cover.png"), QStringLiteral("image")},
        {QStringLiteral("intro.mp3"), QStringLiteral("audio")},
        {QStringLiteral("media/clip.mp4"), QStringLiteral("video")}};

QByteArray contentOf(const QString &localPath)
{
    return "distributed " + localPath.toUtf8();
}

bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(content) != content.size())
        return false;
    file.close();
    return !executable
            || file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                   | QFileDevice::ExeOwner);
}

QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(folder).relativeFilePath(it.next()));
    files.sort();
    return files;
}

QJsonObject scenario(const QString &download, const QString &name,
                     const QList<CoursewareFile> &files)
{
    QJsonArray flow;
    QJsonArray elements;
    for (const CoursewareFile &f : files) {
        const QJsonObject element {
                {QStringLiteral("fileName"), QFileInfo(f.localPath).fileName()},
                {QStringLiteral("localPath"), f.localPath},
                {QStringLiteral("filePath"), QLatin1Char('/') + f.localPath},
                {QStringLiteral("fileMd5"),
                 QString::fromLatin1(
                         QCryptographicHash::hash(contentOf(f.localPath), QCryptographicHash::Md5)
                                 .toHex())},
                {QStringLiteral("fileType"),
                 f.fileType.isEmpty() ? QStringLiteral("xml") : f.fileType}};
        (f.fileType.isEmpty() ? flow : elements).append(element);
    }
    const QJsonObject entry {{QStringLiteral("coursewareId"), QStringLiteral("C1")},
                             {QStringLiteral("releaseVersion"), 3},
                             {QStringLiteral("coursewareName"), name},
                             {QStringLiteral("absolutePath"), download},
                             {QStringLiteral("teacherId"), QStringLiteral("T2001")}};
    QJsonArray lessons;
    for (int channel : {0, 1})
        lessons.append(QJsonObject {{QStringLiteral("channelId"), channel},
                                    {QStringLiteral("teacherID"), QStringLiteral("T1001")}});
    return QJsonObject {
            {QStringLiteral("accounts"),
             QJsonArray {QJsonObject {{QStringLiteral("username"), QStringLiteral("teacher")},
                                      {QStringLiteral("password"), QStringLiteral("corvin123")},
                                      {QStringLiteral("managerID"), QStringLiteral("T1001")},
                                      {QStringLiteral("token"), QStringLiteral("tok")}}}},
            {QStringLiteral("lessons"), lessons},
            {QStringLiteral("devices"),
             QJsonObject {{QStringLiteral("DEV-FLOW"), QJsonArray {entry}}}},
            {QStringLiteral("resources"),
             QJsonObject {{QStringLiteral("C1/3"),
                           QJsonObject {{QStringLiteral("flowConfList"), flow},
                                        {QStringLiteral("resourceElements"), elements}}}}}};
}

} // namespace

// Login to launch in a child process: the real windows, driven from inside by the flow
// driver, against the stand-in service, with both student clients installed in a temporary
// application-data folder.
class tst_PreparationFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void flow_data();
    void flow();
    void closeMidWork_data();
    void closeMidWork();
    void flowOverHttps();

private:
    void startDriver(QProcess *process, const QString &appData, const QString &run,
                     const QStringList &args, const QString &trustedCa = QString());
    bool writeDriverConfig(bool md5);

    StandInServer server;
    QTemporaryDir temp;
    QString driver; // a private copy, so that config.ini beside it is this test's alone
};

void tst_PreparationFlow::initTestCase()
{
    QVERIFY(temp.isValid());
    QVERIFY(server.start());
    const QString bin = temp.path() + QStringLiteral("/bin");
    QVERIFY(QDir().mkpath(bin));
    driver = bin + QLatin1Char('/') + QFileInfo(QStringLiteral(CORVIN_FLOWDRIVER)).fileName();
    QVERIFY(QFile::copy(QStringLiteral(CORVIN_FLOWDRIVER), driver));
    QVERIFY(writeDriverConfig(true));
}

bool tst_PreparationFlow::writeDriverConfig(bool md5)
{
    return writeFile(QFileInfo(driver).path() + QStringLiteral("/config.ini"),
                     "[Server]\nCorvinHost=" + server.baseUrl().toUtf8()
                             + "\nMD5=" + (md5 ? "1" : "0") + "\ndevID=DEV-FLOW\n");
}

void tst_PreparationFlow::startDriver(QProcess *process, const QString &appData, const QString &run,
                                      const QStringList &args, const QString &trustedCa)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("APPDATA"), appData);
    if (!trustedCa.isEmpty())
        environment.insert(QStringLiteral("CORVIN_TEST_CA"), trustedCa);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Under the sanitizers: the driver ends as the program does, by exit(0) or with its windows
    // still alive (they are never deleted), so every run would count them as leaks. Memory
    // errors are still reported; the leak check of this code is tst_preparecourse's.
    const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       asan + (asan.isEmpty() ? "" : ":") + QStringLiteral("detect_leaks=0"));
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(run);
    process->start(driver, args);
}

void tst_PreparationFlow::cleanup()
{
    server.clearScripts();
    server.clearRequests();
}

void tst_PreparationFlow::flow_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("heronVersion");
    QTest::addColumn<QString>("atriumVersion");
    QTest::addColumn<QString>("client"); // whose resource folder is filled
    QTest::addColumn<bool>("clientRunning");
    // "ok", "missing", "not executable", "not a program"
    QTest::addColumn<QString>("startFile");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<int>("seatDelayMs"); // the seat reply comes this late
    QTest::addColumn<bool>("chinese"); // folders, courseware and a file with Chinese names

    QTest::newRow("atrium 0.9.8 started")
            << "ok" << 1 << ""
            << "0.9.8"
            << "atrium" << false << "ok" << 0 << QStringList {confirmBox} << 0 << false;
    QTest::newRow("heron 1.2 started")
            << "ok" << 0 << "1.2"
            << "0.9.8"
            << "heron" << false << "ok" << 0 << QStringList {confirmBox} << 0 << false;
    QTest::newRow("channel 1 without atrium version starts heron 1.2")
            << "ok" << 1 << "1.2"
            << ""
            << "heron" << false << "ok" << 0 << QStringList {confirmBox} << 0 << false;
    QTest::newRow("cancel") << "cancel" << 0 << "1.2"
                            << "0.9.8"
                            << "heron" << false << "ok" << 10 << QStringList {confirmBox} << 0
                            << false;
    QTest::newRow("Lectern.exe running")
            << "ok" << 1 << ""
            << "0.9.8"
            << "atrium" << true << "ok" << 10 << QStringList {runningBox} << 0 << false;
#ifndef Q_OS_WIN
    // Windows has no mode to take away: a file that is no program stands for it there.
    QTest::newRow("start file not executable")
            << "ok" << 0 << "1.2"
            << "0.9.8"
            << "heron" << false << "not executable" << 10
            << QStringList {confirmBox, failedStartBox} << 0 << false;
#endif
    QTest::newRow("start file not a program")
            << "ok" << 1 << ""
            << "0.9.8"
            << "atrium" << false << "not a program" << 10
            << QStringList {confirmBox, failedStartBox} << 0 << false;
    QTest::newRow("start file missing") << "ok" << 1 << ""
                                        << "0.9.8"
                                        << "atrium" << false << "missing" << 10
                                        << QStringList {confirmBox, failedStartBox} << 0 << false;
    // Started at once on Ready: the end still waits for the seat reply.
    QTest::newRow("slow seat reply")
            << "ok" << 0 << "1.2"
            << "0.9.8"
            << "heron" << false << "ok" << 0 << QStringList {confirmBox} << 1500 << false;
    QTest::newRow("keyboard alone")
            << "keys" << 1 << ""
            << "0.9.8"
            << "atrium" << false << "ok" << 0 << QStringList {confirmBox} << 0 << false;
    QTest::newRow("Chinese names")
            << "ok" << 0 << "1.2"
            << "0.9.8"
            << "heron" << false << "ok" << 0 << QStringList {confirmBox} << 0 << true;
}

void tst_PreparationFlow::flow()
{
    QFETCH(QString, mode);
    QFETCH(int, channel);
    QFETCH(QString, heronVersion);
    QFETCH(QString, atriumVersion);
    QFETCH(QString, client);
    QFETCH(bool, clientRunning);
    QFETCH(QString, startFile);
    QFETCH(int, exitCode);
    QFETCH(QStringList, boxes);
    QFETCH(int, seatDelayMs);
    QFETCH(bool, chinese);

    // The application-data, download and working folders all lie below the base folder.
    const QString base = temp.path() + (chinese ? QStringLiteral("/张老师/") : QStringLiteral("/"))
            + TestSupport::folderName(QString::fromLatin1(QTest::currentDataTag()));
    QList<CoursewareFile> files = coursewareFiles;
    if (chinese)
        files.append({QStringLiteral("媒体/片头.mp4"), QStringLiteral("video")});
    const QString coursewareName = chinese ? QStringLiteral("分数的认识") : QStringLiteral("Demo");
    const QString displayName = coursewareName + QStringLiteral("_3");
    const QString appData = base + QStringLiteral("/appdata");
    const QString download = base + QStringLiteral("/download");
    const QString record = base + QStringLiteral("/client-started.log");
    const QString run = base + QStringLiteral("/run");
    QVERIFY(QDir().mkpath(run));

    for (const CoursewareFile &f : qAsConst(files))
        QVERIFY(writeFile(download + QStringLiteral("/C1/3/") + f.localPath,
                          contentOf(f.localPath)));
    server.setScenario(scenario(download, coursewareName, files));
    ScriptedReply seatReply;
    seatReply.body = "{\"code\":0,\"success\":true,\"seat\":\"confirmed\"}";
    seatReply.delayMs = seatDelayMs;
    server.script(replacePath, seatReply);

    const QString startFiles[2][2]
            = {{QStringLiteral("heron"), QStringLiteral("/heron/run.bat")},
               {QStringLiteral("atrium"), QStringLiteral("/atrium/bin/Lectern.exe")}};
    const QString versions[2] = {heronVersion, atriumVersion};
    for (int i = 0; i < 2; ++i) {
        const QString name = startFiles[i][0];
        QByteArray ini = "[Server]\n";
        if (!versions[i].isEmpty())
            ini += "version=" + versions[i].toUtf8() + '\n';
        QVERIFY(writeFile(appData + QLatin1Char('/') + name + QStringLiteral("/config.ini"), ini));
        const QString path = appData + startFiles[i][1];
        QVERIFY(TestSupport::writeClientStartFile(appData, name));
        if (name != client)
            continue;
        if (startFile == QLatin1String("missing")) {
            QVERIFY(QFile::remove(path));
        } else if (startFile == QLatin1String("not executable")) {
            QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        } else if (startFile == QLatin1String("not a program")) {
            QFile::remove(path);
            QVERIFY(writeFile(path, "neither a program nor a script", true));
        }
    }

    QProcess fakeClient;
    const ProcessStopper stopper {&fakeClient};
    if (clientRunning) {
        const QString fake = base + QStringLiteral("/other/Lectern.exe");
        QVERIFY(QDir().mkpath(QFileInfo(fake).path()));
        QVERIFY(TestSupport::makeSleeper(fake));
        fakeClient.start(fake, {QStringLiteral("120")});
        QVERIFY(fakeClient.waitForStarted(10000));
    } else {
        // A client still running from an earlier row would show the running box.
        QTRY_VERIFY_WITH_TIMEOUT(!ProcessProbe::isRunning(QStringLiteral("Lectern.exe")), 15000);
    }

    QProcess process;
    startDriver(&process, appData, run, {mode, QString::number(channel), displayName});
    QVERIFY(process.waitForStarted(10000));
    const bool finished = process.waitForFinished(90000);
    // Windows' text-mode streams end lines in "\r\n".
    const QString errors = QString::fromUtf8(process.readAllStandardError())
                                   .replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (!finished)
        process.kill();
    QVERIFY2(finished, qPrintable(errors));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == exitCode,
             qPrintable(QStringLiteral("exit code %1\n%2").arg(process.exitCode()).arg(errors)));

    QStringList seen;
    for (const QString &line : errors.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("BOX\t")))
            seen.append(line);
    }
    QCOMPARE(seen, boxes);

    // The chosen client's resource folder holds exactly the courseware, in its layout.
    const bool typeFolders = client == QLatin1String("atrium");
    QStringList expected {
            QStringLiteral("xml/flow.xml"), QStringLiteral("xml/pages/p1.xml"),
            typeFolders ? QStringLiteral("image/cover.png") : QStringLiteral("cover.png"),
            typeFolders ? QStringLiteral("voice/intro.mp3") : QStringLiteral("intro.mp3"),
            typeFolders ? QStringLiteral("video/media/clip.mp4")
                        : QStringLiteral("media/clip.mp4")};
    if (chinese)
        expected.append(QStringLiteral("媒体/片头.mp4"));
    expected.sort();
    const QString resource = appData + QLatin1Char('/') + client + QStringLiteral("/resource");
    QCOMPARE(filesBelow(resource), expected);
    const QString other = typeFolders ? QStringLiteral("heron") : QStringLiteral("atrium");
    QVERIFY(!QFileInfo::exists(appData + QLatin1Char('/') + other + QStringLiteral("/resource")));

    // Seated once, with the account of the login and the courseware's teacher.
    const QList<RecordedRequest> seated = server.requests(replacePath);
    QCOMPARE(seated.size(), 1);
    QCOMPARE(seated.first().body,
             QStringLiteral(
                     "{\"channelId\":%1,\"masterTeacherId\":\"T2001\",\"teacherId\":\"T1001\"}")
                     .arg(channel)
                     .toUtf8());

    // The run's log file lies in the working directory.
    const QStringList logs
            = QDir(run + QStringLiteral("/log")).entryList({QStringLiteral("log*.log")});
    QCOMPARE(logs.size(), 1);
    QFile log(run + QStringLiteral("/log/") + logs.first());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logBytes = log.readAll();
    // Every record is the program's own: Qt's records carry no source file and line 0. The
    // offscreen platform of the tests says one thing of every message box that the platforms
    // of a real run do not.
    const QRegularExpression ownRecord(QStringLiteral("^[^\\]]+\\]\\w+\\.cpp .+  Line:[1-9]"));
    const QByteArray offscreenOnly = "Content:This plugin does not support propagateSizeHints()";
    const QList<QByteArray> records = logBytes.split('\n');
    for (int i = 0; i + 1 < records.size(); ++i) {
        if (records.at(i).startsWith("\r[") && records.at(i + 1) != offscreenOnly)
            QVERIFY2(ownRecord.match(QString::fromUtf8(records.at(i).mid(1))).hasMatch(),
                     records.at(i + 1));
    }

    // The log is UTF-8 whatever the system's code page: the names are intact.
    QVERIFY(logBytes.contains(
            QStringLiteral("Content:课件选中了: \"%1\"").arg(displayName).toUtf8()));
    // F5 checked once more before the keyboard chose.
    QCOMPARE(logBytes.contains(
                     QStringLiteral("Content:[CoursewareSelect][on_recheckButton_clicked] 重新检测")
                             .toUtf8()),
             mode == QLatin1String("keys"));
    if (chinese)
        QVERIFY(logBytes.contains(
                QStringLiteral("copy File ++  \"%1/C1/3/媒体/片头.mp4\"").arg(download).toUtf8()));

    if (exitCode == 0) {
        // A confirmed start ends the program only once the seat reply is in, even a slow one.
        QVERIFY(logBytes.contains("\\\"seat\\\":\\\"confirmed\\\""));
        // The start file ran (after this process ended) and found the copied files.
        const auto recordText = [&record] {
            QFile file(record);
            file.open(QIODevice::ReadOnly);
            return QString::fromUtf8(file.readAll());
        };
        QTRY_VERIFY_WITH_TIMEOUT(recordText().contains(QStringLiteral("clip.mp4")), 15000);
        const QString text = recordText();
        QVERIFY2(text.contains(QLatin1Char(' ') + client + QStringLiteral(" started\n")),
                 qPrintable(text));
        QVERIFY2(!text.contains(QLatin1Char(' ') + other + QStringLiteral(" started\n")),
                 qPrintable(text));
        for (const QString &path : expected)
            QVERIFY2(text.contains(resource + QLatin1Char('/') + path), qPrintable(text));
    } else {
        QVERIFY(!QFileInfo::exists(record));
    }
}

void tst_PreparationFlow::closeMidWork_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("md5");
    QTest::newRow("selection window during the check") << "close-check" << true;
    QTest::newRow("preparation window during the copy") << "close-copy" << false;
}

// The teacher closes the window at work on gigabytes: the work stops, the process ends by itself
// with status 0, nothing is sent after the close, and the next start goes through.
void tst_PreparationFlow::closeMidWork()
{
    QFETCH(QString, mode);
    QFETCH(bool, md5);
    const QString base = temp.path() + QLatin1Char('/') + mode;
    const QString appData = base + QStringLiteral("/appdata");
    const QString download = base + QStringLiteral("/download");
    const QString run = base + QStringLiteral("/run");
    QVERIFY(QDir().mkpath(run + QStringLiteral("/dump")));
    // Seconds of hashing or copying, made in no time as sparse files.
    QList<CoursewareFile> big;
    for (int i = 0; i < 12; ++i) {
        big.append({QStringLiteral("media/big%1.bin").arg(i), QStringLiteral("video")});
        QFile file(download + QStringLiteral("/C1/3/") + big.last().localPath);
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(1) << 30));
    }
    server.setScenario(scenario(download, QStringLiteral("Big"), big));
    for (const QString &client : {QStringLiteral("heron"), QStringLiteral("atrium")}) {
        QVERIFY(writeFile(appData + QLatin1Char('/') + client + QStringLiteral("/config.ini"),
                          "[Server]\nversion=1.2\n"));
        QVERIFY(TestSupport::writeClientStartFile(appData, client));
    }
    QVERIFY(writeDriverConfig(md5));

    QProcess process;
    startDriver(&process, appData, run, {mode, QStringLiteral("0"), QStringLiteral("Big_3")});
    QByteArray errors;
    while (!errors.contains("CLOSED") && process.waitForReadyRead(60000))
        errors += process.readAllStandardError();
    QVERIFY2(errors.contains("CLOSED"), errors.constData());
    const int requestsAtClose = server.requests().size();
    // Not a measure of speed: left to itself the work would go on for many seconds.
    const bool ended = process.waitForFinished(30000);
    if (!ended)
        process.kill();
    QVERIFY(ended);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(server.requests().size(), requestsAtClose);
    QCOMPARE(QDir(run + QStringLiteral("/dump")).entryList(QDir::Files), QStringList());

    const QStringList logs = QDir(run + QStringLiteral("/log")).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    QFile log(run + QStringLiteral("/log/") + logs.first());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logBytes = log.readAll();
    if (md5) {
        QVERIFY(logBytes.contains("Content:校验课件中止"));
        QVERIFY(!logBytes.contains("Content:校验课件成功"));
    } else {
        QVERIFY(logBytes.contains("复制中止"));
        QVERIFY(logBytes.contains("Content:复制失败:"));
        // No file began after the close but those already under way, one a copying thread.
        QVERIFY(logBytes.count("Content:copy File ++") < big.size());
        QVERIFY(!logBytes.contains("[PrepareCourse][replaceClassStudent]"));
    }
    QVERIFY(server.requests(replacePath).isEmpty());

    // The next start, with courseware of the usual size.
    for (const CoursewareFile &f : coursewareFiles)
        QVERIFY(writeFile(download + QStringLiteral("/C1/3/") + f.localPath,
                          contentOf(f.localPath)));
    server.setScenario(scenario(download, QStringLiteral("Demo"), coursewareFiles));
    QVERIFY(writeDriverConfig(true));
    QProcess next;
    startDriver(&next, appData, run,
                {QStringLiteral("ok"), QStringLiteral("0"), QStringLiteral("Demo_3")});
    QVERIFY(next.waitForFinished(90000));
    QVERIFY2(next.exitCode() == 0, next.readAllStandardError().constData());
    QCOMPARE(server.requests(replacePath).size(), 1);
}

// From login to the client's start against a service on https://, its certificate signed by a
// CA the process trusts.
void tst_PreparationFlow::flowOverHttps()
{
    if (!StandInServer::tlsAvailable())
        QSKIP("the stand-in speaks no TLS in this build (no OpenSSL for MinGW here)");
    const QString base = temp.path() + QStringLiteral("/https");
    const QString tlsFiles = base + QStringLiteral("/tls");
    QVERIFY(TestSupport::makeTlsFiles(tlsFiles));
    const QString appData = base + QStringLiteral("/appdata");
    const QString download = base + QStringLiteral("/download");
    const QString run = base + QStringLiteral("/run");
    QVERIFY(QDir().mkpath(run));
    for (const CoursewareFile &f : coursewareFiles)
        QVERIFY(writeFile(download + QStringLiteral("/C1/3/") + f.localPath,
                          contentOf(f.localPath)));
    QVERIFY(writeFile(appData + QStringLiteral("/heron/config.ini"), "[Server]\nversion=1.2\n"));
    QVERIFY(TestSupport::writeClientStartFile(appData, QStringLiteral("heron")));
    StandInServer tls(scenario(download, QStringLiteral("Demo"), coursewareFiles));
    QVERIFY(tls.useTls(tlsFiles + QStringLiteral("/trusted.pem"),
                       tlsFiles + QStringLiteral("/key.pem")));
    QVERIFY(tls.start());
    QVERIFY(writeFile(QFileInfo(driver).path() + QStringLiteral("/config.ini"),
                      "[Server]\nCorvinHost=" + tls.baseUrl().toUtf8()
                              + "\nMD5=1\ndevID=DEV-FLOW\n"));

    QProcess process;
    startDriver(&process, appData, run,
                {QStringLiteral("ok"), QStringLiteral("0"), QStringLiteral("Demo_3")},
                tlsFiles + QStringLiteral("/ca.pem"));
    const bool finished = process.waitForFinished(90000);
    QVERIFY(writeDriverConfig(true));
    QVERIFY2(finished && process.exitCode() == 0, process.readAllStandardError().constData());
    for (const char *path :
         {"/clb/action/login", "/clb/class/getCurrentLesson", "/platform/room/findDLCoursewareInfo",
          "/platform/room/getCoursewareResource", "/clb/class/replaceClassStudent"})
        QVERIFY2(tls.requests(QLatin1String(path)).size() == 1, path);
}

QTEST_MAIN(tst_PreparationFlow)
#include "tst_preparationflow.moc"
