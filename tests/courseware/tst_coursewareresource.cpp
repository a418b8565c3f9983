#include "courseware/CoursewareResource.h"
#include "util/DigestCache.h"

#include "CoursewareFixture.h"
#include "MalformedBodies.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace CoursewareFixture;
using TestSupport::MessageCapture;

namespace {
const QString resourcePath = QStringLiteral("/platform/room/getCoursewareResource");
const QString fileLineMarker = QStringLiteral(" 本地计算md5 :");

int countContaining(const QStringList &lines, const QString &piece)
{
    int n = 0;
    for (const QString &line : lines)
        n += line.contains(piece) ? 1 : 0;
    return n;
}

// A value as a log line shows it (quoting and escapes of QDebug).
template<typename T>
QString debugText(const T &value)
{
    QString text;
    QDebug(&text) << value;
    return text.trimmed();
}
} // namespace

class tst_CoursewareResource : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void requestOnTheWire();
    void parse_data();
    void parse();
    void malformedReplies_data();
    void malformedReplies();
    void elementFields();
    void md5Switch_data();
    void md5Switch();
    void digestComparison_data();
    void digestComparison();
    void oneMismatchAmongMany();
    void escapingPath_data();
    void escapingPath();
    void emptyLocalPathFails();
    void failedParseWithCheckOn();
    void checksRunTogether();
    void secondReplyStartsNoSecondCheck();
    void deletedWhileChecking();
    void cache_data();
    void cache();

private:
    // Creates a resource for id C1 release 3 below `root` and waits for its one report.
    CoursewareResource *runOne(const QString &root, bool *report);
    void setResources(const QJsonObject &resources);
    void config(const QString &md5 = QString(), bool md5Present = false);

    StandInServer server;
    QTemporaryDir temp;
    QString root; // the absolutePath of the courseware
    QString folder; // root/C1/3/
};

void tst_CoursewareResource::initTestCase()
{
    // The verification cache of this test lies apart from the user's.
    QStandardPaths::setTestModeEnabled(true);
    QFile::remove(DigestCache::shared().fileName());
    QVERIFY(server.start());
    QVERIFY(temp.isValid());
}

void tst_CoursewareResource::init()
{
    root = temp.path() + QStringLiteral("/dl-") + QString::fromLatin1(QTest::currentTestFunction())
            + QLatin1Char('-')
            + TestSupport::folderName(QString::fromLatin1(QTest::currentDataTag()));
    folder = root + QStringLiteral("/C1/3/");
    QVERIFY(QDir().mkpath(folder));
    config();
}

void tst_CoursewareResource::cleanup()
{
    server.clearScripts();
    server.clearRequests();
    server.setScenario(QJsonObject());
}

void tst_CoursewareResource::config(const QString &md5, bool md5Present)
{
    QMap<QString, QString> values {{QStringLiteral("Server/CorvinHost"), server.baseUrl()}};
    if (md5Present)
        values.insert(QStringLiteral("Server/MD5"), md5);
    TestSupport::writeConfig(values);
}

void tst_CoursewareResource::setResources(const QJsonObject &resources)
{
    server.setScenario(QJsonObject {{QStringLiteral("resources"), resources}});
}

CoursewareResource *tst_CoursewareResource::runOne(const QString &absolutePath, bool *report)
{
    auto *resource = new CoursewareResource(QStringLiteral("Demo_3"), QStringLiteral("T2001"),
                                            absolutePath, QStringLiteral("C1"), 3);
    QSignalSpy spy(resource, &CoursewareResource::CoursewareResourceStatChanged);
    if (!spy.wait(15000) || spy.count() != 1) {
        *report = false;
        return resource;
    }
    *report = spy.first().first().toBool();
    // Nothing more may arrive once the watcher has reported.
    QTest::qWait(20);
    if (spy.count() != 1)
        qWarning("more than one report");
    return spy.count() == 1 ? resource : nullptr;
}

void tst_CoursewareResource::requestOnTheWire()
{
    auto *resource = new CoursewareResource(QStringLiteral("abc_2"), QStringLiteral("T9"), root,
                                            QStringLiteral("abc"), 2);
    QSignalSpy spy(resource, &CoursewareResource::CoursewareResourceStatChanged);
    QVERIFY(spy.wait(15000));
    const QList<RecordedRequest> requests = server.requests(resourcePath);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().method, QByteArray("POST"));
    QCOMPARE(requests.first().body, QByteArray("{\"coursewareId\":\"abc\",\"releaseVersion\":2}"));
    QCOMPARE(requests.first().header("Content-Type"), QByteArray("application/json"));
    // The stand-in does not know abc/2: the resource is not offered.
    QCOMPARE(spy.first().first().toBool(), false);
    QCOMPARE(resource->isReady(), false);
    delete resource;
}

void tst_CoursewareResource::parse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("ready");
    QTest::addColumn<int>("flowCount");
    QTest::addColumn<int>("resourceCount");

    QTest::newRow("success, no lists")
            << QByteArray("{\"coursewareResource\":{\"success\":true}}") << true << 0 << 0;
    QTest::newRow("success, two empty lists")
            << QByteArray("{\"coursewareResource\":{\"success\":true,\"flowConfList\":[],"
                          "\"resourceElements\":[]}}")
            << true << 0 << 0;
    QTest::newRow("success as text")
            << QByteArray("{\"coursewareResource\":{\"success\":\"true\",\"flowConfList\":[{}]}}")
            << false << 0 << 0;
    QTest::newRow("success as number")
            << QByteArray("{\"coursewareResource\":{\"success\":1,\"flowConfList\":[{}]}}") << false
            << 0 << 0;
    QTest::newRow("success false")
            << QByteArray("{\"coursewareResource\":{\"success\":false,\"flowConfList\":[{}]}}")
            << false << 0 << 0;
    QTest::newRow("success null") << QByteArray("{\"coursewareResource\":{\"success\":null}}")
                                  << false << 0 << 0;
    QTest::newRow("no coursewareResource") << QByteArray("{\"success\":true}") << false << 0 << 0;
    QTest::newRow("coursewareResource not an object")
            << QByteArray("{\"coursewareResource\":true}") << false << 0 << 0;
    QTest::newRow("lists") << QByteArray("{\"coursewareResource\":{\"success\":true,"
                                         "\"flowConfList\":[{},{}],"
                                         "\"resourceElements\":[{},{},{}]}}")
                           << true << 2 << 3;
    QTest::newRow("lists not arrays")
            << QByteArray("{\"coursewareResource\":{\"success\":true,\"flowConfList\":{},"
                          "\"resourceElements\":\"x\"}}")
            << true << 0 << 0;
    QTest::newRow("empty body") << QByteArray() << false << 0 << 0;
    QTest::newRow("not JSON") << QByteArray("<html>502</html>") << false << 0 << 0;
}

void tst_CoursewareResource::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, ready);
    QFETCH(int, flowCount);
    QFETCH(int, resourceCount);

    // With the check off the report carries the parse result alone.
    config(QStringLiteral("0"), true);
    ScriptedReply reply;
    reply.body = body;
    server.script(resourcePath, reply);

    MessageCapture capture;
    bool report = true;
    CoursewareResource *resource = runOne(root, &report);
    QVERIFY(resource);
    QCOMPARE(report, ready);
    QCOMPARE(resource->isReady(), ready);
    QCOMPARE(resource->flowConfList.size(), flowCount);
    QCOMPARE(resource->resourceElements.size(), resourceCount);
    QCOMPARE(capture.contains(QStringLiteral("课件资源解析成功")), ready);
    QCOMPARE(capture.contains(QStringLiteral("课件资源解析失败")), !ready);
    QVERIFY(!capture.contains(QStringLiteral("校验课件开始:  ")));
    delete resource;
}

void tst_CoursewareResource::malformedReplies_data()
{
    MalformedBodies::addRows();
}

void tst_CoursewareResource::malformedReplies()
{
    QFETCH(QByteArray, body);
    ScriptedReply reply;
    reply.body = body;
    server.script(resourcePath, reply);

    MessageCapture capture;
    bool report = true;
    CoursewareResource *resource = runOne(root, &report);
    QVERIFY(resource);
    QCOMPARE(report, resource->isReady());
    QCOMPARE(capture.contains(QStringLiteral("课件资源解析成功"))
                     + capture.contains(QStringLiteral("课件资源解析失败")),
             1);
    QVERIFY(capture.contains(QStringLiteral("校验课件结束")));
    delete resource;
}

void tst_CoursewareResource::elementFields()
{
    ScriptedReply reply;
    reply.body = "{\"coursewareResource\":{\"success\":true,\"name\":\"N\",\"des\":\"D\","
                 "\"flowConfList\":[{\"fileName\":\"f.xml\",\"localPath\":\"x/f.xml\","
                 "\"filePath\":\"/r/f.xml\",\"fileMd5\":12345,\"fileType\":\"xml\"}],"
                 "\"resourceElements\":[{\"localPath\":\"b\"},{\"localPath\":\"a\"},"
                 "{\"localPath\":\"b\"},7]}}";
    server.script(resourcePath, reply);
    config(QStringLiteral("0"), true);

    bool report = false;
    CoursewareResource *resource = runOne(root, &report);
    QVERIFY(resource);
    QVERIFY(report);
    QCOMPARE(resource->resourceName, QStringLiteral("N"));
    QCOMPARE(resource->resourceDes, QStringLiteral("D"));
    QCOMPARE(resource->flowConfList.size(), 1);
    const ResourceElement flow = resource->flowConfList.first();
    QCOMPARE(flow.fileName, QStringLiteral("f.xml"));
    QCOMPARE(flow.localPath, QStringLiteral("x/f.xml"));
    QCOMPARE(flow.filePath, QStringLiteral("/r/f.xml"));
    QCOMPARE(flow.fileMd5, QString()); // a number is not a digest
    QCOMPARE(flow.fileType, QStringLiteral("xml"));
    QStringList paths;
    for (const ResourceElement &e : resource->resourceElements)
        paths.append(e.localPath);
    // Array order, duplicates kept, a non-object element read as an empty one.
    QCOMPARE(paths, (QStringList {"b", "a", "b", ""}));
    delete resource;
}

void tst_CoursewareResource::md5Switch_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("checked");

    QTest::newRow("absent") << false << QString() << true;
    QTest::newRow("0") << true << QStringLiteral("0") << false;
    QTest::newRow("a word") << true << QStringLiteral("true") << false;
    QTest::newRow("2") << true << QStringLiteral("2") << true;
    QTest::newRow("1") << true << QStringLiteral("1") << true;
}

void tst_CoursewareResource::md5Switch()
{
    QFETCH(bool, present);
    QFETCH(QString, value);
    QFETCH(bool, checked);

    QVERIFY(writeFile(folder + QStringLiteral("a.xml"), "flow"));
    setResources({{QStringLiteral("C1/3"),
                   resourceList({element(QStringLiteral("a.xml"), md5Hex("other content"))}, {})}});
    config(value, present);

    MessageCapture capture;
    bool report = false;
    CoursewareResource *resource = runOne(root, &report);
    QVERIFY(resource);
    // A checked courseware fails on the wrong digest; an unchecked one passes on its parse.
    QCOMPARE(report, !checked);
    QCOMPARE(capture.contains(QStringLiteral("校验课件开始:  ")), checked);
    QCOMPARE(capture.contains(QStringLiteral("校验课件结束")), checked);
    QCOMPARE(countContaining(capture.texts(), fileLineMarker), checked ? 1 : 0);
    delete resource;
}

void tst_CoursewareResource::digestComparison_data()
{
    QTest::addColumn<QString>("announced");
    QTest::addColumn<bool>("ready");

    const QString digest = md5Hex("image bytes");
    QTest::newRow("same") << digest << true;
    QTest::newRow("upper case") << digest.toUpper() << true;
    QTest::newRow("mixed case") << digest.left(10).toUpper() + digest.mid(10) << true;
    QTest::newRow("trailing space") << digest + QLatin1Char(' ') << false;
    QTest::newRow("leading space") << QLatin1Char(' ') + digest << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("digest of empty content") << md5Hex(QByteArray()) << false;
}

void tst_CoursewareResource::digestComparison()
{
    QFETCH(QString, announced);
    QFETCH(bool, ready);

    QVERIFY(writeFile(folder + QStringLiteral("img/p.png"), "image bytes"));
    setResources({{QStringLiteral("C1/3"),
                   resourceList({},
                                {element(QStringLiteral("img/p.png"), announced,
                                         QStringLiteral("image"))})}});
    MessageCapture capture;
    bool report = !ready;
    CoursewareResource *resource = runOne(root, &report);
    QVERIFY(resource);
    QCOMPARE(report, ready);
    QCOMPARE(resource->isReady(), ready);
    const QString path = folder + QStringLiteral("img/p.png");
    const QString expectedLine = QStringLiteral("\"%1\"  本地计算md5 : \"%2\" 服务端md5:  \"%3\"")
                                         .arg(path, md5Hex("image bytes"), announced);
    QVERIFY2(capture.contains(expectedLine), qPrintable(capture.texts().join('\n')));
    QCOMPARE(capture.contains(ready ? QStringLiteral("校验课件成功")
                                    : QStringLiteral("校验课件失败")),
             true);
    delete resource;
}

void tst_CoursewareResource::oneMismatchAmongMany()
{
    QJsonArray flow;
    QJsonArray elements;
    for (int i = 0; i < 3; ++i) {
        const QString name = QStringLiteral("xml/flow%1.xml").arg(i);
        const QByteArray content = "<flow>" + QByteArray::number(i) + "</flow>";
        QVERIFY(writeFile(folder + name, content));
        flow.append(element(name, md5Hex(content), QStringLiteral("xml")));
    }
    for (int i = 0; i < 6; ++i) {
        const QString name = QStringLiteral("res/r%1.bin").arg(i);
        const QByteArray content(1000 + i, char('a' + i));
        QVERIFY(writeFile(folder + name, content));
        // The second resource file is announced with another file's digest.
        elements.append(
                element(name, md5Hex(i == 1 ? QByteArray("x") : content), QStringLiteral("image")));
    }
    setResources({{QStringLiteral("C1/3"), resourceList(flow, elements)}});

    MessageCapture capture;
    bool report = true;
    CoursewareResource *resource = runOne(root, &report);
    QVERIFY(resource);
    QCOMPARE(report, false);
    const QStringList lines = capture.texts();
    QCOMPARE(countContaining(lines, fileLineMarker), 9);
    const int setLine = lines.indexOf(
            QStringLiteral("QSet(\"%1\")").arg(folder + QStringLiteral("res/r1.bin")));
    QVERIFY2(setLine >= 0, qPrintable(lines.join('\n')));
    QCOMPARE(lines.value(setLine + 1), QStringLiteral("校验课件失败"));
    QCOMPARE(lines.value(setLine + 2), QStringLiteral("校验课件结束"));
    // The last file line comes before the verdict: nothing stopped early.
    int lastFileLine = -1;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).contains(fileLineMarker))
            lastFileLine = i;
    }
    QVERIFY(lines.at(lastFileLine).contains(QStringLiteral("res/r5.bin")));
    QVERIFY(lastFileLine < setLine);
    QVERIFY(!capture.contains(QStringLiteral("校验课件成功")));
    delete resource;
}

void tst_CoursewareResource::escapingPath_data()
{
    QTest::addColumn<QString>("localPath");
    QTest::addColumn<QString>("realFile"); // where the path would lead if it were read; "" none
    QTest::addColumn<bool>("ready");

    // Filled in by the test: F is the download folder, R the courseware root, T the temp dir.
    QTest::newRow("parent") << QStringLiteral("../x") << QStringLiteral("F../x") << false;
    QTest::newRow("slash parent") << QStringLiteral("/../x") << QStringLiteral("F/../x") << false;
    QTest::newRow("parent deep inside")
            << QStringLiteral("a/../../x") << QStringLiteral("Fa/../../x") << false;
    QTest::newRow("absolute") << QStringLiteral("/T/outside/x") << QStringLiteral("T/outside/x")
                              << false;
    QTest::newRow("drive") << QStringLiteral("C:/x") << QStringLiteral("FC:/x") << false;
    QTest::newRow("unc") << QStringLiteral("\\\\srv\\x") << QStringLiteral("F\\\\srv\\x") << false;
    QTest::newRow("nul") << QString::fromUtf8("x\0y", 3) << QString() << false;
    // One leading separator stays inside the folder (doubled separator) and is read.
    QTest::newRow("leading slash inside")
            << QStringLiteral("/inside/x") << QStringLiteral("F/inside/x") << true;
}

void tst_CoursewareResource::escapingPath()
{
    QFETCH(QString, localPath);
    QFETCH(QString, realFile);
    QFETCH(bool, ready);

    const QString tempRoot = temp.path();
    auto expand = [&](QString text) {
        if (text.startsWith(QLatin1Char('F')))
            return folder + text.mid(1);
        if (text.startsWith(QLatin1Char('T')))
            return tempRoot + text.mid(1);
        return text;
    };
    localPath = localPath.startsWith(QStringLiteral("/T/"))
            ? QLatin1Char('/') + tempRoot + localPath.mid(2)
            : localPath;
    const QByteArray content = "a file that must not be read";
    QVERIFY(QDir().mkpath(folder + QStringLiteral("a")));
    if (!realFile.isEmpty())
        QVERIFY(writeFile(expand(realFile), content));

    const QByteArray good = "good";
    QVERIFY(writeFile(folder + QStringLiteral("good.xml"), good));
    setResources({{QStringLiteral("C1/3"),
                   resourceList({element(QStringLiteral("good.xml"), md5Hex(good))},
                                {element(localPath, md5Hex(content), QStringLiteral("image"))})}});

    MessageCapture capture;
    bool report = !ready;
    CoursewareResource *resource = runOne(root, &report);
    QVERIFY(resource);
    QCOMPARE(report, ready);
    const QString joined = folder + localPath;
    const QStringList lines = capture.texts();
    // The good file is still hashed; the escaping one never reaches the hash at all.
    QVERIFY(countContaining(lines, folder + QStringLiteral("good.xml")) >= 2);
    const QString quoted = debugText(joined);
    int hashed = 0;
    for (const QString &line : lines)
        hashed += line.startsWith(quoted) ? 1 : 0;
    if (ready) {
        QCOMPARE(hashed, 2); // the hash line of the file utilities and the comparison line
    } else {
        QCOMPARE(hashed, 0);
        QVERIFY2(lines.contains(debugText(QSet<QString> {joined})), qPrintable(lines.join('\n')));
        QVERIFY(!resource->isReady());
    }
    delete resource;
}

void tst_CoursewareResource::emptyLocalPathFails()
{
    setResources({{QStringLiteral("C1/3"),
                   resourceList({}, {element(QString(), md5Hex("x"), QStringLiteral("image"))})}});
    MessageCapture capture;
    bool report = true;
    CoursewareResource *resource = runOne(root, &report);
    QVERIFY(resource);
    QCOMPARE(report, false);
    // The folder itself is hashed and, not being a file, fails.
    QVERIFY(capture.contains(QStringLiteral("QSet(\"%1\")").arg(folder)));
    delete resource;
}

void tst_CoursewareResource::failedParseWithCheckOn()
{
    ScriptedReply reply;
    reply.body = "{\"coursewareResource\":{\"success\":\"true\"}}";
    server.script(resourcePath, reply);
    MessageCapture capture;
    bool report = true;
    CoursewareResource *resource = runOne(root, &report);
    QVERIFY(resource);
    QCOMPARE(report, false);
    const QStringList lines = capture.texts();
    const int start = lines.indexOf(QStringLiteral("校验课件开始:  "));
    QVERIFY(start >= 0);
    QCOMPARE(lines.value(start + 1), QStringLiteral("校验课件结束"));
    QCOMPARE(countContaining(lines, fileLineMarker), 0);
    delete resource;
}

void tst_CoursewareResource::checksRunTogether()
{
    const int count = 8;
    QJsonObject resources;
    for (int c = 0; c < count; ++c) {
        QJsonArray flow;
        QJsonArray elements;
        for (int f = 0; f < 6; ++f) {
            const QString name = QStringLiteral("f%1.dat").arg(f);
            const QByteArray content(64 * 1024, char('A' + c + f));
            QVERIFY(writeFile(QStringLiteral("%1/K%2/1/%3").arg(root).arg(c).arg(name), content));
            // Every third courseware announces one wrong digest.
            const bool wrong = c % 3 == 2 && f == 4;
            (f < 2 ? flow : elements).append(element(name, md5Hex(wrong ? "no" : content)));
        }
        resources.insert(QStringLiteral("K%1/1").arg(c), resourceList(flow, elements));
    }
    setResources(resources);

    MessageCapture capture;
    QList<CoursewareResource *> list;
    QList<QSignalSpy *> spies;
    QList<QThread *> reportThreads;
    for (int c = 0; c < count; ++c) {
        auto *resource = new CoursewareResource(QStringLiteral("K%1_1").arg(c), QString(), root,
                                                QStringLiteral("K%1").arg(c), 1);
        connect(resource, &CoursewareResource::CoursewareResourceStatChanged, this,
                [&reportThreads] { reportThreads.append(QThread::currentThread()); });
        list.append(resource);
        spies.append(new QSignalSpy(resource, &CoursewareResource::CoursewareResourceStatChanged));
    }
    QTRY_COMPARE_WITH_TIMEOUT(reportThreads.size(), count, 30000);
    QTest::qWait(50);
    QCOMPARE(reportThreads.size(), count);
    for (int c = 0; c < count; ++c) {
        QCOMPARE(spies.at(c)->count(), 1);
        QCOMPARE(spies.at(c)->first().first().toBool(), c % 3 != 2);
        QCOMPARE(list.at(c)->isReady(), c % 3 != 2);
        QCOMPARE(reportThreads.at(c), QThread::currentThread());
        // Its files were hashed side by side, yet its lines come in list order, and no other
        // file's line comes between the two lines of one file (the window's own lines may).
        const QStringList lines = capture.texts().filter(QRegularExpression(
                QStringLiteral("^\"[^\"]*\" (\"[0-9a-f]{32}\"$|%1)").arg(fileLineMarker)));
        int at = 0;
        for (int f = 0; f < 6; ++f) {
            const QString path = QStringLiteral("%1/K%2/1/f%3.dat").arg(root).arg(c).arg(f);
            at = lines.indexOf(
                    QRegularExpression(QStringLiteral("^%1 \"[0-9a-f]{32}\"$")
                                               .arg(QRegularExpression::escape(debugText(path)))),
                    at);
            QVERIFY(at >= 0);
            QVERIFY(lines.value(at + 1).startsWith(debugText(path) + QLatin1Char(' ')
                                                   + fileLineMarker));
        }
    }
    qDeleteAll(spies);
    qDeleteAll(list);
}

void tst_CoursewareResource::secondReplyStartsNoSecondCheck()
{
    setResources({{QStringLiteral("C1/3"), resourceList({}, {})}});
    auto *resource = new CoursewareResource(QStringLiteral("Demo_3"), QString(), root,
                                            QStringLiteral("C1"), 3);
    QSignalSpy spy(resource, &CoursewareResource::CoursewareResourceStatChanged);
    QVERIFY(spy.wait(15000));
    QCOMPARE(spy.first().first().toBool(), true);
    resource->on_CoursewareResource_2(QStringLiteral("{\"coursewareResource\":{\"success\":true,"
                                                     "\"flowConfList\":[{}]}}"));
    QTest::qWait(50);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(resource->flowConfList.size(), 0);
    delete resource;
}

void tst_CoursewareResource::deletedWhileChecking()
{
    QJsonArray elements;
    for (int i = 0; i < 24; ++i) {
        const QString name = QStringLiteral("big%1.bin").arg(i);
        const QByteArray content(1024 * 1024, char('a' + i));
        QVERIFY(writeFile(folder + name, content));
        elements.append(element(name, md5Hex(content)));
    }
    setResources({{QStringLiteral("C1/3"), resourceList({}, elements)}});

    MessageCapture capture;
    auto *resource = new CoursewareResource(QStringLiteral("Demo_3"), QString(), root,
                                            QStringLiteral("C1"), 3);
    QSignalSpy spy(resource, &CoursewareResource::CoursewareResourceStatChanged);
    // The reply handed over here, and the start waited for without running the event loop:
    // the report cannot be delivered before the deletion.
    QJsonObject list = resourceList({}, elements);
    list.insert(QStringLiteral("success"), true);
    resource->on_CoursewareResource_2(QString::fromUtf8(
            QJsonDocument(QJsonObject {{QStringLiteral("coursewareResource"), list}}).toJson()));
    QElapsedTimer started;
    started.start();
    while (!capture.contains(QStringLiteral("校验课件开始:  ")) && started.elapsed() < 15000)
        QThread::msleep(1);
    // The destructor waits for the check on the pool, which reads the object to its end.
    delete resource;
    QVERIFY(capture.contains(QStringLiteral("校验课件结束")));
    QCOMPARE(countContaining(capture.texts(), fileLineMarker), 24);
    QTest::qWait(20);
    QCOMPARE(spy.count(), 0);
}

void tst_CoursewareResource::cache_data()
{
    QTest::addColumn<QString>("between"); // what happens between the two checks
    QTest::addColumn<bool>("cacheOn");
    // Whether the files' times lie far enough back: the digest of a file written in the clock
    // tick it was read may be of half its content, and is not kept.
    QTest::addColumn<bool>("settled");
    QTest::addColumn<int>("fromCache"); // files not hashed again by the second check
    QTest::addColumn<bool>("secondPasses");
    QTest::newRow("nothing changed") << "" << true << true << 3 << true;
    QTest::newRow("written just now") << "" << true << false << 0 << true;
    QTest::newRow("switched off") << "" << false << true << -1 << true;
    // The size and the modification time stay; the change time gives the change away.
    QTest::newRow("changed in the middle") << "middle" << true << true << 2 << false;
    QTest::newRow("renamed over") << "rename" << true << true << 2 << false;
    QTest::newRow("damaged cache file") << "damage" << true << true << 0 << true;
    QTest::newRow("foreign cache file") << "foreign" << true << true << 0 << true;
}

// Two checks of the same files; the second may take their digests from the cache. The cache
// keeps digests only: a file it no longer vouches for is hashed again and compared anew.
void tst_CoursewareResource::cache()
{
    QFETCH(QString, between);
    QFETCH(bool, cacheOn);
    QFETCH(bool, settled);
    QFETCH(int, fromCache);
    QFETCH(bool, secondPasses);
    // The files are written here just before they are read: a zero window takes them as old.
    DigestCache::shared().setSettleWindowMs(settled ? 0 : 2000);
    TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), server.baseUrl()},
                              {QStringLiteral("Server/MD5Cache"), cacheOn ? "1" : "0"}});
    QJsonArray elements;
    for (int i = 0; i < 3; ++i) {
        const QString name = QStringLiteral("v%1.bin").arg(i);
        const QByteArray content(300 * 1024, char('k' + i));
        QVERIFY(writeFile(folder + name, content));
        elements.append(element(name, md5Hex(content)));
    }
    setResources({{QStringLiteral("C1/3"), resourceList({}, elements)}});
    const auto check = [this](QStringList *lines) {
        MessageCapture capture;
        bool report = false;
        std::unique_ptr<CoursewareResource> resource(runOne(root, &report));
        *lines = capture.texts();
        return report;
    };
    QStringList lines;
    QVERIFY(check(&lines));

    const QString changed = folder + QStringLiteral("v1.bin");
    const QDateTime modified = QFileInfo(changed).lastModified();
    if (between == QLatin1String("middle")) {
        QFile file(changed);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(150 * 1024));
        QCOMPARE(file.write("X"), qint64(1));
        file.close();
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
        file.close();
        QCOMPARE(QFileInfo(changed).size(), qint64(300 * 1024));
        QCOMPARE(QFileInfo(changed).lastModified(), modified);
    } else if (between == QLatin1String("rename")) {
        const QString other = folder + QStringLiteral("other.bin");
        QVERIFY(writeFile(other, QByteArray(300 * 1024, 'z')));
        QFile file(other);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
        file.close();
        QVERIFY(QFile::remove(changed) && QFile::rename(other, changed));
    } else if (between == QLatin1String("damage") || between == QLatin1String("foreign")) {
        QFile file(DigestCache::shared().fileName());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(between == QLatin1String("damage") ? QByteArray("{\"format\":\"corvin-md5-c")
                                                      : QByteArray("{\"format\":\"other\"}"));
        file.close();
        // As a new start would find it.
        DigestCache::shared().reload();
    }

    QCOMPARE(check(&lines), secondPasses);
    const QStringList cacheLines = lines.filter(QStringLiteral("校验课件缓存:"));
    if (fromCache < 0) {
        QVERIFY(cacheLines.isEmpty());
    } else {
        QCOMPARE(cacheLines,
                 QStringList {
                         QStringLiteral("校验课件缓存: %1 / 3 个文件未重新计算").arg(fromCache)});
        // Written again, whole: the next start reads it.
        DigestCache reread(DigestCache::shared().fileName());
        QFile first(folder + QStringLiteral("v0.bin"));
        QVERIFY(first.open(QIODevice::ReadOnly));
        QCOMPARE(reread.lookup(first.fileName(), FileIdentity::of(first)),
                 settled ? md5Hex(QByteArray(300 * 1024, 'k')) : QString());
    }
}

QTEST_MAIN(tst_CoursewareResource)
#include "tst_coursewareresource.moc"
