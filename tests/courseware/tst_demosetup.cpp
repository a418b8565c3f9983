#include "config/AppContext.h"
#include "courseware/CoursewareSelect.h"

#include "StandInServer.h"
#include "TestSupport.h"

#include <QComboBox>
#include <QDirIterator>
#include <QJsonArray>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// The demo data generator: its scenario and files drive the real selection window.
class tst_DemoSetup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void scenarioContent();
    void filesOfEveryType();
    void selectionOffersTheTwoCompleteOnes();

private:
    QTemporaryDir out;
    QJsonObject scenario;
};

void tst_DemoSetup::initTestCase()
{
    QVERIFY(out.isValid());
    QProcess setup;
    setup.start(QStringLiteral(CORVIN_DEMO_SETUP), {out.path()});
    QVERIFY(setup.waitForFinished(60000));
    QCOMPARE(setup.exitStatus(), QProcess::NormalExit);
    QCOMPARE(setup.exitCode(), 0);
    QString error;
    QVERIFY2(StandInServer::loadScenario(out.path() + QStringLiteral("/scenario.json"), &scenario,
                                         &error),
             qPrintable(error));
}

void tst_DemoSetup::scenarioContent()
{
    const QJsonArray accounts = scenario.value(QStringLiteral("accounts")).toArray();
    QCOMPARE(accounts.size(), 1);
    const QJsonObject account = accounts.first().toObject();
    QCOMPARE(account.value(QStringLiteral("username")).toString(), QStringLiteral("teacher"));
    QCOMPARE(account.value(QStringLiteral("password")).toString(), QStringLiteral("corvin123"));
    QCOMPARE(account.value(QStringLiteral("managerID")).toString(), QStringLiteral("T1001"));
    QCOMPARE(account.value(QStringLiteral("token")).toString(), QStringLiteral("demo-token-1"));
    const QJsonArray lessons = scenario.value(QStringLiteral("lessons")).toArray();
    QCOMPARE(lessons.size(), 2);
    QCOMPARE(lessons.at(0).toObject().value(QStringLiteral("channelId")).toInt(-1), 0);
    QCOMPARE(lessons.at(1).toObject().value(QStringLiteral("channelId")).toInt(-1), 1);

    const QJsonArray list = scenario.value(QStringLiteral("devices"))
                                    .toObject()
                                    .value(QStringLiteral("DEMO-DEVICE-0001"))
                                    .toArray();
    QCOMPARE(list.size(), 3);
    for (const QJsonValue &value : list) {
        const QJsonObject entry = value.toObject();
        QCOMPARE(entry.value(QStringLiteral("absolutePath")).toString(),
                 out.path() + QStringLiteral("/download"));
        QCOMPARE(entry.value(QStringLiteral("teacherId")).toString(), QStringLiteral("T2001"));
        QVERIFY(entry.value(QStringLiteral("releaseVersion")).isDouble());
    }
    QCOMPARE(scenario.value(QStringLiteral("resources")).toObject().size(), 3);
}

void tst_DemoSetup::filesOfEveryType()
{
    QSet<QString> types;
    const QJsonObject resources = scenario.value(QStringLiteral("resources")).toObject();
    for (const QJsonValue &resource : resources) {
        const QJsonObject r = resource.toObject();
        QVERIFY(!r.value(QStringLiteral("flowConfList")).toArray().isEmpty());
        for (const QJsonValue &e : r.value(QStringLiteral("resourceElements")).toArray())
            types.insert(e.toObject().value(QStringLiteral("fileType")).toString());
    }
    QCOMPARE(types, (QSet<QString> {"image", "audio", "video"}));
    int files = 0;
    QDirIterator it(out.path() + QStringLiteral("/download"), QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        QVERIFY(it.fileInfo().size() > 0);
        ++files;
    }
    QCOMPARE(files, 15);
}

void tst_DemoSetup::selectionOffersTheTwoCompleteOnes()
{
    StandInServer server(scenario);
    QVERIFY(server.start());
    TestSupport::writeConfig(
            {{QStringLiteral("Server/CorvinHost"), server.baseUrl()},
             {QStringLiteral("Server/devID"), QStringLiteral("DEMO-DEVICE-0001")}});
    AppContext::instance().channelId = 0;

    CoursewareSelect window;
    auto *combo = window.findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *button = window.findChild<QPushButton *>(QStringLiteral("pushButton"));
    QTRY_VERIFY_WITH_TIMEOUT(button->isEnabled(), 20000);
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QStringLiteral("分数的认识_3"));
    QCOMPARE(combo->itemText(1), QStringLiteral("三角形_1"));
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("error_tip"))->text(), QString());
    AppContext::instance().selectWindow = nullptr;
}

QTEST_MAIN(tst_DemoSetup)
#include "tst_demosetup.moc"
