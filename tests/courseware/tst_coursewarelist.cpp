#include "config/AppContext.h"
#include "courseware/CoursewareList.h"
#include "courseware/CoursewareResource.h"

#include "CoursewareFixture.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace CoursewareFixture;
using TestSupport::MessageCapture;

namespace {
const QString resourcePath = QStringLiteral("/platform/room/getCoursewareResource");

QString listBody(const QJsonArray &entries)
{
    return QString::fromUtf8(
            QJsonDocument(QJsonObject {{QStringLiteral("coursewareList"), entries}}).toJson());
}
} // namespace

class tst_CoursewareList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyList();
    void notAUsableList_data();
    void notAUsableList();
    void emptyBodyDoesNothing();
    void recordFields_data();
    void recordFields();
    void duplicates_data();
    void duplicates();
    void readyOnLastReport();
    void readyNamesInListOrder();
    void copyToLocalLogAndCase();
    void secondReplyAppends();

private:
    StandInServer server;
    QTemporaryDir temp;
};

void tst_CoursewareList::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(temp.isValid());
    // A copy may run: it must only ever touch a student client below the temporary folder.
    qputenv("APPDATA", QFile::encodeName(temp.path() + QStringLiteral("/appdata")));
}

void tst_CoursewareList::init()
{
    TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), server.baseUrl()}});
}

void tst_CoursewareList::cleanup()
{
    server.clearScripts();
    server.clearRequests();
    server.setScenario(QJsonObject());
}

void tst_CoursewareList::emptyList()
{
    CoursewareList list;
    QSignalSpy fetch(&list, &CoursewareList::GetCoursewareResource);
    QSignalSpy ready(&list, &CoursewareList::CoursewareResourceListReady);
    QString body = QStringLiteral("{\"coursewareList\":[]}");
    list.on_get_coursewarelist(body);
    // Both signals come out inside the call: nothing is waited for.
    QCOMPARE(fetch.count(), 1);
    QCOMPARE(ready.count(), 1);
    QVERIFY(list.resourceList().isEmpty());
    QVERIFY(list.getReadyCoursewareNames().isEmpty());
    QTest::qWait(20);
    QVERIFY(server.requests(resourcePath).isEmpty());
}

void tst_CoursewareList::notAUsableList_data()
{
    QTest::addColumn<QString>("body");
    QTest::newRow("not JSON") << QStringLiteral("502 Bad Gateway");
    // A web page is a failed request: the window says why, the list does not report.
    QTest::newRow("web page") << QStringLiteral("<html>502 Bad Gateway</html>");
    QTest::newRow("truncated") << QStringLiteral("{\"coursewareList\":[{\"coursewareId\":\"a\"");
    QTest::newRow("array document") << QStringLiteral("[{\"coursewareList\":[{}]}]");
    QTest::newRow("no list key") << QStringLiteral("{\"code\":0}");
    QTest::newRow("list not an array") << QStringLiteral("{\"coursewareList\":{\"0\":{}}}");
    QTest::newRow("list as text") << QStringLiteral("{\"coursewareList\":\"[{}]\"}");
    QTest::newRow("white space") << QStringLiteral(" ");
}

void tst_CoursewareList::notAUsableList()
{
    QFETCH(QString, body);
    CoursewareList list;
    QSignalSpy fetch(&list, &CoursewareList::GetCoursewareResource);
    QSignalSpy ready(&list, &CoursewareList::CoursewareResourceListReady);
    list.on_get_coursewarelist(body);
    const int reports = QTest::currentDataTag() == QLatin1String("web page") ? 0 : 1;
    QCOMPARE(fetch.count(), reports);
    QCOMPARE(ready.count(), reports);
    QVERIFY(list.infos().isEmpty());
    QVERIFY(list.resourceList().isEmpty());
}

void tst_CoursewareList::emptyBodyDoesNothing()
{
    CoursewareList list;
    QSignalSpy fetch(&list, &CoursewareList::GetCoursewareResource);
    QSignalSpy ready(&list, &CoursewareList::CoursewareResourceListReady);
    MessageCapture capture;
    QString body;
    list.on_get_coursewarelist(body);
    QTest::qWait(20);
    QCOMPARE(fetch.count(), 0);
    QCOMPARE(ready.count(), 0);
    QVERIFY(list.infos().isEmpty());
    QVERIFY(capture.texts().isEmpty());
}

void tst_CoursewareList::recordFields_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("coursewareId");
    QTest::addColumn<int>("releaseVersion");
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QByteArray>("request");

    QTest::newRow("all fields") << QByteArray(
            "{\"coursewareId\":\"C7\",\"releaseVersion\":3,\"coursewareName\":"
            "\"Fractions\",\"absolutePath\":\"/dl\",\"teacherId\":\"T2\"}")
                                << QStringLiteral("C7") << 3 << QStringLiteral("Fractions_3")
                                << QByteArray("{\"coursewareId\":\"C7\",\"releaseVersion\":3}");
    QTest::newRow("release as text")
            << QByteArray("{\"coursewareId\":\"C7\",\"releaseVersion\":\"3\",\"coursewareName\":"
                          "\"Fractions\"}")
            << QStringLiteral("C7") << 0 << QStringLiteral("Fractions_0")
            << QByteArray("{\"coursewareId\":\"C7\",\"releaseVersion\":0}");
    QTest::newRow("id as number") << QByteArray(
            "{\"coursewareId\":42,\"releaseVersion\":1,\"coursewareName\":\"N\"}")
                                  << QString() << 1 << QStringLiteral("N_1")
                                  << QByteArray("{\"coursewareId\":\"\",\"releaseVersion\":1}");
    QTest::newRow("fractional release")
            << QByteArray(
                       "{\"coursewareId\":\"a\",\"releaseVersion\":2.5,\"coursewareName\":\"N\"}")
            << QStringLiteral("a") << 0 << QStringLiteral("N_0")
            << QByteArray("{\"coursewareId\":\"a\",\"releaseVersion\":0}");
    QTest::newRow("release beyond int")
            << QByteArray("{\"coursewareId\":\"a\",\"releaseVersion\":99999999999999999999}")
            << QStringLiteral("a") << 0 << QStringLiteral("_0")
            << QByteArray("{\"coursewareId\":\"a\",\"releaseVersion\":0}");
    QTest::newRow("not an object") << QByteArray("7") << QString() << 0 << QStringLiteral("_0")
                                   << QByteArray("{\"coursewareId\":\"\",\"releaseVersion\":0}");
    QTest::newRow("chinese name") << QByteArray(
            "{\"coursewareId\":\"c\",\"releaseVersion\":12,\"coursewareName\":"
            "\"\xe5\x88\x86\xe6\x95\xb0\"}")
                                  << QStringLiteral("c") << 12 << QStringLiteral("分数_12")
                                  << QByteArray("{\"coursewareId\":\"c\",\"releaseVersion\":12}");
}

void tst_CoursewareList::recordFields()
{
    QFETCH(QByteArray, entry);
    QFETCH(QString, coursewareId);
    QFETCH(int, releaseVersion);
    QFETCH(QString, displayName);
    QFETCH(QByteArray, request);

    CoursewareList list;
    QSignalSpy ready(&list, &CoursewareList::CoursewareResourceListReady);
    MessageCapture capture;
    QString body = QString::fromUtf8("{\"coursewareList\":[" + entry + "]}");
    list.on_get_coursewarelist(body);
    QCOMPARE(list.infos().size(), 1);
    const CoursewareInfo info = list.infos().first();
    QCOMPARE(info.coursewareId, coursewareId);
    QCOMPARE(info.releaseVersion, releaseVersion);
    QCOMPARE(info.displayName, displayName);
    QCOMPARE(list.resourceList().size(), 1);
    QCOMPARE(list.resourceList().first()->displayName, displayName);
    QVERIFY(capture.contains(QLatin1Char('"') + displayName + QLatin1Char('"')));
    QVERIFY(ready.wait(15000));
    const QList<RecordedRequest> requests = server.requests(resourcePath);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().body, request);
}

void tst_CoursewareList::duplicates_data()
{
    QTest::addColumn<bool>("firstPasses");
    QTest::addColumn<bool>("secondPasses");
    QTest::addColumn<QStringList>("offered");
    QTest::addColumn<QString>("teacherId");
    QTest::addColumn<QString>("copied"); // the log line of the copied index, "" for none
    QTest::addColumn<QStringList>("failures");
    QTest::newRow("both pass") << true << true << QStringList {"Demo_3", "Demo_3"}
                               << QStringLiteral("TA") << QStringLiteral("will copy index is:  0")
                               << QStringList();
    // A damaged first entry must neither be copied nor seat its teacher; its name is offered, so
    // it is not reported missing.
    QTest::newRow("first damaged")
            << false << true << QStringList {"Demo_3"} << QStringLiteral("TB")
            << QStringLiteral("will copy index is:  1") << QStringList();
    QTest::newRow("none passes") << false << false << QStringList() << QString() << QString()
                                 << QStringList {QStringLiteral("Demo_3：1 个文件校验不一致"),
                                                 QStringLiteral("Demo_3：1 个文件校验不一致")};
}

void tst_CoursewareList::duplicates()
{
    QFETCH(bool, firstPasses);
    QFETCH(bool, secondPasses);
    QFETCH(QStringList, offered);
    QFETCH(QString, teacherId);
    QFETCH(QString, copied);
    QFETCH(QStringList, failures);
    const QString first = temp.path() + QStringLiteral("/first");
    const QString second = temp.path() + QStringLiteral("/second");
    QVERIFY(writeFile(first + QStringLiteral("/C1/3/a.xml"), firstPasses ? "a" : "damaged"));
    QVERIFY(writeFile(second + QStringLiteral("/C1/3/a.xml"), secondPasses ? "a" : "damaged"));
    const QJsonArray entries {coursewareEntry(QStringLiteral("C1"), 3, QStringLiteral("Demo"),
                                              first, QStringLiteral("TA")),
                              coursewareEntry(QStringLiteral("C1"), 3, QStringLiteral("Demo"),
                                              second, QStringLiteral("TB"))};
    server.setScenario(QJsonObject {
            {QStringLiteral("resources"),
             QJsonObject {{QStringLiteral("C1/3"),
                           resourceList({element(QStringLiteral("a.xml"), md5Hex("a"))}, {})}}}});
    CoursewareList list;
    QSignalSpy ready(&list, &CoursewareList::CoursewareResourceListReady);
    QString body = listBody(entries);
    list.on_get_coursewarelist(body);
    QCOMPARE(list.infos().size(), 2);
    QCOMPARE(list.resourceList().size(), 2);
    QVERIFY(ready.wait(15000));
    QCOMPARE(server.requests(resourcePath).size(), 2);
    QCOMPARE(list.getReadyCoursewareNames(), offered);
    QCOMPARE(list.getTeacherId(QStringLiteral("Demo_3")), teacherId);
    QCOMPARE(list.failures(), failures);

    MessageCapture capture;
    AppContext::instance().totalFiles = 10;
    AppContext::instance().copiedFiles = 0;
    list.copyToLocal(QStringLiteral("Demo_3"));
    const QStringList copies = capture.texts().filter(QStringLiteral("will copy index is:"));
    QCOMPARE(copies, copied.isEmpty() ? QStringList() : QStringList {copied});
    if (copied.isEmpty()) {
        // Refused: nothing copied, and the run is over for the window that waits on it.
        QVERIFY(capture.contains(QStringLiteral("没有找到课件")));
        QCOMPARE(AppContext::instance().copiedFiles.load(),
                 AppContext::instance().totalFiles.load());
        QVERIFY(!AppContext::instance().resourcesReady);
    }
}

void tst_CoursewareList::readyOnLastReport()
{
    // The stand-in knows none of them: every report carries false and still counts.
    QJsonArray entries;
    for (int i = 0; i < 3; ++i)
        entries.append(coursewareEntry(QStringLiteral("X%1").arg(i), 1,
                                       QStringLiteral("N%1").arg(i), temp.path()));
    CoursewareList list;
    QSignalSpy ready(&list, &CoursewareList::CoursewareResourceListReady);
    QString body = listBody(entries);
    list.on_get_coursewarelist(body);
    QCOMPARE(ready.count(), 0);
    // Connected after the list: each entry sees how often the list had reported by then.
    QList<int> readyAtReport;
    QList<bool> values;
    for (CoursewareResource *resource : list.resourceList()) {
        connect(resource, &CoursewareResource::CoursewareResourceStatChanged, this,
                [&](bool value) {
                    readyAtReport.append(ready.count());
                    values.append(value);
                });
    }
    QTRY_COMPARE_WITH_TIMEOUT(readyAtReport.size(), 3, 15000);
    QTest::qWait(50);
    QCOMPARE(readyAtReport, (QList<int> {0, 0, 1}));
    QCOMPARE(values, (QList<bool> {false, false, false}));
    QCOMPARE(ready.count(), 1);
    QVERIFY(list.getReadyCoursewareNames().isEmpty());
}

void tst_CoursewareList::readyNamesInListOrder()
{
    const QString root = temp.path() + QStringLiteral("/order");
    QVERIFY(writeFile(root + QStringLiteral("/B/1/b.xml"), "b"));
    const QJsonArray entries {
            coursewareEntry(QStringLiteral("A"), 1, QStringLiteral("Zeta"), root),
            coursewareEntry(QStringLiteral("B"), 1, QStringLiteral("Alpha"), root),
            coursewareEntry(QStringLiteral("C"), 2, QStringLiteral("Mid"), root),
            coursewareEntry(QStringLiteral("D"), 1, QStringLiteral("Beta"), root)};
    QJsonObject resources {{QStringLiteral("A/1"), resourceList({}, {})},
                           {QStringLiteral("B/1"),
                            resourceList({element(QStringLiteral("b.xml"), md5Hex("b"))}, {})},
                           // C is unknown to the service; D names a file that is not there.
                           {QStringLiteral("D/1"),
                            resourceList({element(QStringLiteral("d.xml"), md5Hex("d"))}, {})}};
    server.setScenario(QJsonObject {{QStringLiteral("resources"), resources}});

    CoursewareList list;
    QSignalSpy ready(&list, &CoursewareList::CoursewareResourceListReady);
    QString body = listBody(entries);
    list.on_get_coursewarelist(body);
    QVERIFY(ready.wait(15000));
    QCOMPARE(list.getReadyCoursewareNames(), (QStringList {"Zeta_1", "Alpha_1"}));
    // Unknown to the service: never passed, so it seats no one.
    QCOMPARE(list.getTeacherId(QStringLiteral("Mid_2")), QString());
    QCOMPARE(list.getTeacherId(QStringLiteral("Zeta_1")), QStringLiteral("T2001"));
    QCOMPARE(list.getTeacherId(QStringLiteral("mid_2")), QString());
}

void tst_CoursewareList::copyToLocalLogAndCase()
{
    const QJsonArray entries {
            coursewareEntry(QStringLiteral("A"), 1, QStringLiteral("Demo"), temp.path()),
            coursewareEntry(QStringLiteral("B"), 1, QStringLiteral("Other"), temp.path())};
    CoursewareList list;
    QSignalSpy ready(&list, &CoursewareList::CoursewareResourceListReady);
    QString body = listBody(entries);
    list.on_get_coursewarelist(body);
    QVERIFY(ready.wait(15000));

    MessageCapture capture;
    QCOMPARE(list.copyToLocal(QStringLiteral("demo_1")), false);
    QCOMPARE(capture.texts(),
             (QStringList {QStringLiteral("CoursewareList::copyToLocal \"demo_1\""),
                           QStringLiteral("课件数量 2"), QStringLiteral("0"), QStringLiteral("1"),
                           QStringLiteral("没有找到课件")}));
}

void tst_CoursewareList::secondReplyAppends()
{
    CoursewareList list;
    QSignalSpy ready(&list, &CoursewareList::CoursewareResourceListReady);
    QString first = listBody(
            {coursewareEntry(QStringLiteral("A"), 1, QStringLiteral("One"), temp.path()),
             coursewareEntry(QStringLiteral("B"), 1, QStringLiteral("Two"), temp.path())});
    list.on_get_coursewarelist(first);
    QVERIFY(ready.wait(15000));
    QString second = listBody(
            {coursewareEntry(QStringLiteral("C"), 1, QStringLiteral("Three"), temp.path())});
    list.on_get_coursewarelist(second);
    QCOMPARE(list.infos().size(), 3);
    // The records of the first reply are not checked a second time.
    QCOMPARE(list.resourceList().size(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 2, 15000);
    QCOMPARE(server.requests(resourcePath).size(), 3);
}

QTEST_MAIN(tst_CoursewareList)
#include "tst_coursewarelist.moc"
