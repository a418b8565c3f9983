#include "config/AppContext.h"

#include "StandInServer.h"
#include "TestSupport.h"
#include "net/SimpleHttpPost.h"

#include <QFile>
#include <QThread>
#include <QtTest>

class tst_AppContext : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void oneObject();
    void missingFile();
    void md5Switch_data();
    void md5Switch();
    void emptyDeviceIdReadsLikeAbsent();
    void hostTrailingSlashDoublesSeparator();
    void settingsReadFromManyThreads();
};

void tst_AppContext::cleanup()
{
    TestSupport::writeConfig({});
}

void tst_AppContext::oneObject()
{
    AppContext &first = AppContext::instance();
    QCOMPARE(first.channelId, -1);
    QCOMPARE(first.totalFiles.load(), 0);
    QCOMPARE(first.copiedFiles.load(), 0);
    QCOMPARE(first.resourcesReady.load(), false);
    QVERIFY(first.selectWindow == nullptr);

    first.channelId = 1;
    first.setToken(QStringLiteral("t"));
    QCOMPARE(&AppContext::instance(), &first);
    QCOMPARE(AppContext::instance().channelId, 1);
    QCOMPARE(AppContext::instance().token, QStringLiteral("t"));
    first.channelId = -1;
}

void tst_AppContext::missingFile()
{
    QVERIFY(!QFile::exists(TestSupport::configPath()));
    AppContext &context = AppContext::instance();
    QCOMPARE(context.settingText(QStringLiteral("Server/CorvinHost")), QString());
    QCOMPARE(context.settingText(QStringLiteral("Server/devID")), QString());
    QCOMPARE(context.settingInt(QStringLiteral("Server/MD5")), 1);
    QCOMPARE(context.settingInt(QStringLiteral("Server/Other")), 1);
    // Reading never writes the file.
    QVERIFY(!QFile::exists(TestSupport::configPath()));
}

void tst_AppContext::md5Switch_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("expected");
    QTest::newRow("absent") << QByteArray("[Server]\nCorvinHost=http://h\n") << 1;
    QTest::newRow("0") << QByteArray("[Server]\nMD5=0\n") << 0;
    QTest::newRow("word") << QByteArray("[Server]\nMD5=true\n") << 0;
    QTest::newRow("2") << QByteArray("[Server]\nMD5=2\n") << 2;
    QTest::newRow("empty") << QByteArray("[Server]\nMD5=\n") << 0;
    QTest::newRow("other section") << QByteArray("[Client]\nMD5=0\n") << 1;
}

void tst_AppContext::md5Switch()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, expected);
    TestSupport::writeRawConfig(ini);
    QCOMPARE(AppContext::instance().settingInt(QStringLiteral("Server/MD5")), expected);
}

void tst_AppContext::emptyDeviceIdReadsLikeAbsent()
{
    TestSupport::writeRawConfig("[Server]\ndevID=\nCorvinHost=http://127.0.0.1:1\n");
    QCOMPARE(AppContext::instance().settingText(QStringLiteral("Server/devID")), QString());
    TestSupport::writeRawConfig("[Server]\ndevID=ABC-def\n");
    QCOMPARE(AppContext::instance().settingText(QStringLiteral("Server/devID")),
             QStringLiteral("ABC-def"));
}

void tst_AppContext::hostTrailingSlashDoublesSeparator()
{
    StandInServer server;
    QVERIFY(server.start());
    TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), server.baseUrl() + '/'}});

    TestSupport::MessageCapture capture;
    auto *request = new SimpleHttpPost(nullptr);
    bool answered = false;
    connect(request, &SimpleHttpPost::onResponse, this,
            [&answered](QString &) { answered = true; });
    request->setUrl(AppContext::instance().settingText(QStringLiteral("Server/CorvinHost"))
                    + QStringLiteral("/clb/action/login"));
    request->setBody(QStringLiteral("{}"));
    QMap<QString, QString> headers;
    request->query(headers);
    QTRY_VERIFY(answered);
    // The URL keeps the doubled separator; Qt's HTTP layer normalises it on the wire.
    const QString loggedUrl = QStringLiteral("\"%1//clb/action/login\"").arg(server.baseUrl());
    QVERIFY(capture.contains(loggedUrl));
    QCOMPARE(server.requests().size(), 1);
}

void tst_AppContext::settingsReadFromManyThreads()
{
    TestSupport::writeRawConfig("[Server]\nMD5=7\nCorvinHost=http://example.invalid\n");
    std::atomic<int> wrong {0};
    QList<QThread *> threads;
    for (int t = 0; t < 4; ++t) {
        threads.append(QThread::create([&wrong] {
            for (int i = 0; i < 2000; ++i) {
                if (AppContext::instance().settingInt(QStringLiteral("Server/MD5")) != 7)
                    ++wrong;
                if (AppContext::instance().settingText(QStringLiteral("Server/CorvinHost"))
                    != QLatin1String("http://example.invalid"))
                    ++wrong;
            }
        }));
        threads.last()->start();
    }
    for (QThread *thread : threads) {
        thread->wait();
        delete thread;
    }
    QCOMPARE(wrong.load(), 0);
}

QTEST_MAIN(tst_AppContext)
#include "tst_appcontext.moc"
