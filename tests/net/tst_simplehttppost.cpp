#include "net/LogMask.h"
#include "net/SimpleHttpPost.h"

#include "StandInServer.h"
#include "TestSupport.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

using TestSupport::MessageCapture;

class tst_SimpleHttpPost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void replyDelivered_data();
    void replyDelivered();
    void refusedConnection();
    void urlWithoutHost();
    void requestOnTheWire();
    void contentTypeOverridesHeaderMap();
    void logLinesInOrder();
    void secretsMaskedInLogOnly();
    void hugeTextsCutInLog_data();
    void hugeTextsCutInLog();
    void timeOut();
    void releasesItself();

    void maskSecrets_data();
    void maskSecrets();

private:
    // Sends one request and waits for its reply text.
    QString post(const QString &url, const QString &body,
                 QMap<QString, QString> headers = QMap<QString, QString>(),
                 RequestOutcome *outcome = nullptr);

    StandInServer server;
};

void tst_SimpleHttpPost::initTestCase()
{
    QVERIFY(server.start());
}

void tst_SimpleHttpPost::cleanup()
{
    server.clearScripts();
    server.clearRequests();
    SimpleHttpPost::setTransferTimeout(SimpleHttpPost::defaultTransferTimeout);
}

QString tst_SimpleHttpPost::post(const QString &url, const QString &body,
                                 QMap<QString, QString> headers, RequestOutcome *outcome)
{
    auto *request = new SimpleHttpPost(nullptr);
    QStringList replies;
    connect(request, &SimpleHttpPost::onResponse, this,
            [&replies, request, outcome](QString &text) {
                replies.append(text);
                if (outcome)
                    *outcome = request->outcome();
            });
    request->setUrl(url);
    request->setBody(body);
    request->query(headers);
    if (!QTest::qWaitFor([&replies] { return !replies.isEmpty(); }, 10000))
        return QStringLiteral("<no reply>");
    QTest::qWait(20);
    return replies.size() == 1 ? replies.first() : QStringLiteral("<more than one reply>");
}

void tst_SimpleHttpPost::replyDelivered_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("errorLine");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QByteArray>("contentType");

    QTest::newRow("200 json") << 200 << QByteArray("{\"code\":0}") << QStringLiteral("{\"code\":0}")
                              << QString() << "Answered" << QByteArray("application/json");
    QTest::newRow("404 html") << 404 << QByteArray("<html><body>missing</body></html>")
                              << QStringLiteral("<html><body>missing</body></html>")
                              << QStringLiteral("[SimpleHttpPost][downloadFinished] "
                                                "QNetworkReply::NetworkError(ContentNotFoundError)")
                              << "HttpError" << QByteArray("text/html");
    QTest::newRow("500 body") << 500 << QByteArray("{\"code\":500}")
                              << QStringLiteral("{\"code\":500}")
                              << QStringLiteral("[SimpleHttpPost][downloadFinished] "
                                                "QNetworkReply::NetworkError(InternalServerError)")
                              << "HttpError" << QByteArray("application/json");
    QTest::newRow("NUL ends the text")
            << 200 << QByteArray("abc\0def", 7) << QStringLiteral("abc") << QString()
            << "NotTheService" << QByteArray("application/json");
    QTest::newRow("UTF-8") << 200 << QByteArray("{\"msg\":\"\xe8\xaf\xbe\xe4\xbb\xb6\"}")
                           << QStringLiteral("{\"msg\":\"课件\"}") << QString() << "Answered"
                           << QByteArray("application/json");
    QTest::newRow("invalid UTF-8") << 200
                                   << QByteArray("a\xff"
                                                 "b")
                                   << QStringLiteral("a\uFFFDb") << QString() << "NotTheService"
                                   << QByteArray("application/json");
    QTest::newRow("empty") << 200 << QByteArray() << QString() << QString() << "EmptyReply"
                           << QByteArray("application/json");
    // A portal's page, or its redirect to it, is never the service's answer.
    const QByteArray page("<html><body><form>Wi-Fi login</form></body></html>");
    QTest::newRow("portal page") << 200 << page << QString::fromLatin1(page) << QString()
                                 << "NotTheService" << QByteArray("text/html");
    QTest::newRow("json as html") << 200 << QByteArray("{}") << QStringLiteral("{}") << QString()
                                  << "NotTheService" << QByteArray("text/html");
    QTest::newRow("portal redirect") << 302 << QByteArray() << QString() << QString()
                                     << "NotTheService" << QByteArray("text/html");
    QTest::newRow("gateway 502") << 502 << page << QString::fromLatin1(page)
                                 << QStringLiteral(
                                            "[SimpleHttpPost][downloadFinished] "
                                            "QNetworkReply::NetworkError(UnknownServerError)")
                                 << "HttpError" << QByteArray("text/html");
}

void tst_SimpleHttpPost::replyDelivered()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    QFETCH(QString, errorLine);
    QFETCH(QString, cause);
    QFETCH(QByteArray, contentType);

    ScriptedReply reply;
    reply.status = status;
    reply.body = body;
    reply.contentType = contentType;
    server.script(QStringLiteral("/x"), reply);

    MessageCapture capture;
    RequestOutcome outcome;
    const QString url = server.baseUrl() + QStringLiteral("/x");
    QCOMPARE(post(url, QStringLiteral("{}"), {}, &outcome), expected);
    QCOMPARE(RequestOutcome::causeName(outcome.cause), cause);
    // One line names the cause of a failed request, the address and the way it went.
    const QString failureLine = QStringLiteral("[SimpleHttpPost][failure] cause: %1 url: \"%2\" "
                                               "proxy: direct status: %3 error: ")
                                        .arg(cause, url)
                                        .arg(status);
    QCOMPARE(capture.texts().filter(failureLine).size(), outcome.failed() ? 1 : 0);

    const QStringList texts = capture.texts();
    const bool hasErrorLine = std::any_of(texts.cbegin(), texts.cend(), [&](const QString &t) {
        return !errorLine.isEmpty() && t.startsWith(errorLine);
    });
    QCOMPARE(hasErrorLine, !errorLine.isEmpty());
}

void tst_SimpleHttpPost::refusedConnection()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 closedPort = probe.serverPort();
    probe.close();

    MessageCapture capture;
    QCOMPARE(post(QStringLiteral("http://127.0.0.1:%1/clb/action/login").arg(closedPort),
                  QStringLiteral("{}")),
             QString());
    QCOMPARE(capture.texts()
                     .filter(QStringLiteral("[SimpleHttpPost][downloadFinished] "
                                            "QNetworkReply::NetworkError(ConnectionRefusedError)"))
                     .size(),
             1);
    QCOMPARE(capture.texts()
                     .filter(QStringLiteral("[SimpleHttpPost][failure] cause: ConnectionRefused"))
                     .size(),
             1);
    QVERIFY(capture.contains(QStringLiteral("[SimpleHttpPost][downloadFinished] \"\"")));
}

void tst_SimpleHttpPost::urlWithoutHost()
{
    // An empty service address leaves only the path: the network layer refuses it.
    MessageCapture capture;
    QCOMPARE(post(QStringLiteral("/clb/action/login"), QStringLiteral("{}")), QString());
    QCOMPARE(capture.texts()
                     .filter(QStringLiteral(
                             "downloadFinished] QNetworkReply::NetworkError(ProtocolUnknownError)"))
                     .size(),
             1);
    QCOMPARE(capture.texts()
                     .filter(QStringLiteral("[SimpleHttpPost][failure] cause: AddressMissing"))
                     .size(),
             1);
}

void tst_SimpleHttpPost::requestOnTheWire()
{
    post(server.baseUrl() + QStringLiteral("/clb/class/getCurrentLesson"),
         QStringLiteral("{\"channelId\":0,\"name\":\"王老师\"}"));
    const QList<RecordedRequest> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    const RecordedRequest &r = requests.first();
    QCOMPARE(r.method, QByteArray("POST"));
    QCOMPARE(r.path, QByteArray("/clb/class/getCurrentLesson"));
    QCOMPARE(r.body,
             QByteArray("{\"channelId\":0,\"name\":\"\xe7\x8e\x8b\xe8\x80\x81\xe5\xb8\x88\"}"));
    QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));

    // Only the network layer's own headers besides the content type.
    const QSet<QByteArray> allowed {"host",       "content-type",    "content-length",
                                    "connection", "accept-encoding", "accept-language",
                                    "user-agent"};
    for (const auto &header : r.headers)
        QVERIFY2(allowed.contains(header.first.toLower()), header.first.constData());
}

void tst_SimpleHttpPost::contentTypeOverridesHeaderMap()
{
    QMap<QString, QString> headers;
    headers.insert(QStringLiteral("Content-Type"), QStringLiteral("text/plain"));
    headers.insert(QStringLiteral("X-Trace"), QStringLiteral("abc"));
    post(server.baseUrl() + QStringLiteral("/x"), QStringLiteral("{}"), headers);

    const QList<RecordedRequest> requests = server.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(requests.first().header("X-Trace"), QByteArray("abc"));
}

void tst_SimpleHttpPost::logLinesInOrder()
{
    ScriptedReply reply;
    reply.status = 404;
    reply.body = "gone";
    server.script(QStringLiteral("/x"), reply);

    MessageCapture capture;
    const QString url = server.baseUrl() + QStringLiteral("/x");
    post(url, QStringLiteral("{\"a\":1}"));

    const QStringList texts = capture.texts();
    QCOMPARE(texts.size(), 6);
    QCOMPARE(texts[0], QStringLiteral("\"{\\\"a\\\":1}\""));
    QCOMPARE(texts[1], QLatin1Char('"') + url + QLatin1Char('"'));
    QCOMPARE(texts[2], texts[0]);
    QVERIFY(texts[3].startsWith(
            QStringLiteral("[SimpleHttpPost][downloadFinished] "
                           "QNetworkReply::NetworkError(ContentNotFoundError) \"")));
    QCOMPARE(texts[4], QStringLiteral("[SimpleHttpPost][downloadFinished] \"gone\""));
    QVERIFY(texts[5].startsWith(QStringLiteral("[SimpleHttpPost][failure] cause: HttpError")));
}

void tst_SimpleHttpPost::secretsMaskedInLogOnly()
{
    const QByteArray replyBody(
            "{\"code\":0,\"result\":{\"managerID\":\"7\",\"token\":\"tok-123\"}}");
    ScriptedReply reply;
    reply.body = replyBody;
    server.script(QStringLiteral("/clb/action/login"), reply);

    MessageCapture capture;
    const QString body = QStringLiteral("{\"password\":\"s3cr\\\"et\",\"username\":\"li\"}");
    const QString text = post(server.baseUrl() + QStringLiteral("/clb/action/login"), body);

    QCOMPARE(text, QString::fromUtf8(replyBody));
    QCOMPARE(server.requests().first().body, body.toUtf8());
    const QString logged = capture.texts().join(QLatin1Char('\n'));
    QVERIFY(!logged.contains(QStringLiteral("s3cr")));
    QVERIFY(!logged.contains(QStringLiteral("tok-123")));
    QVERIFY(logged.contains(
            QStringLiteral("\\\"password\\\":\\\"******\\\",\\\"username\\\":\\\"li\\\"")));
    QVERIFY(logged.contains(
            QStringLiteral("\\\"managerID\\\":\\\"7\\\",\\\"token\\\":\\\"******\\\"")));
}

void tst_SimpleHttpPost::hugeTextsCutInLog_data()
{
    QTest::addColumn<bool>("inReply"); // else in the request body
    QTest::addColumn<int>("padding"); // bytes before the secret
    QTest::newRow("10 MB reply") << true << 10 * 1024 * 1024;
    QTest::newRow("secret across the cut in a reply") << true << 64 * 1024 - 20;
    QTest::newRow("secret across the cut in a body") << false << 64 * 1024 - 20;
    QTest::newRow("small reply, not cut") << true << 1000;
}

// Past 64 KiB only the first 64 KiB and the full length go into the log, masked before the cut;
// the caller and the service still get every byte.
void tst_SimpleHttpPost::hugeTextsCutInLog()
{
    QFETCH(bool, inReply);
    QFETCH(int, padding);
    const QByteArray secret = "SECRET-" + QByteArray(60, 's');
    const QByteArray text = "{\"pad\":\"" + QByteArray(padding, 'p') + "\",\"token\":\"" + secret
            + "\",\"tail\":\"" + QByteArray(1000, 't') + "\"}";
    ScriptedReply reply;
    reply.body = inReply ? text : QByteArray("{}");
    server.script(QStringLiteral("/x"), reply);

    MessageCapture capture;
    const QString body = inReply ? QStringLiteral("{}") : QString::fromUtf8(text);
    QCOMPARE(post(server.baseUrl() + QStringLiteral("/x"), body).toUtf8(), reply.body);
    QCOMPARE(server.requests().first().body, body.toUtf8());

    const bool cut = text.size() > 64 * 1024;
    const QString suffix = QStringLiteral("... (%1 bytes)").arg(text.size());
    for (const QString &line : capture.texts()) {
        QVERIFY(!line.contains(QLatin1String("SECRET")) && !line.contains(QLatin1String("sss")));
        QVERIFY(line.size() < 64 * 1024 + 200);
    }
    const QStringList large = capture.texts().filter(QStringLiteral("\\\"pad\\\""));
    QCOMPARE(large.size(), inReply ? 1 : 2); // a body is logged by setBody and by query
    for (const QString &line : large)
        QCOMPARE(line.endsWith(suffix + QLatin1Char('"')), cut);
}

void tst_SimpleHttpPost::timeOut()
{
    ScriptedReply reply;
    reply.neverAnswer = true;
    server.script(QStringLiteral("/slow"), reply);
    SimpleHttpPost::setTransferTimeout(300);

    MessageCapture capture;
    RequestOutcome outcome;
    QCOMPARE(post(server.baseUrl() + QStringLiteral("/slow"), QStringLiteral("{}"), {}, &outcome),
             QString());
    // Qt ends a reply that times out as a cancelled one; the teacher must hear "no answer".
    QCOMPARE(outcome.cause, RequestOutcome::Cause::TimedOut);
    QCOMPARE(capture.texts().filter(QStringLiteral("NetworkError(OperationCanceledError)")).size(),
             2);
}

void tst_SimpleHttpPost::releasesItself()
{
    auto *request = new SimpleHttpPost(nullptr);
    QPointer<SimpleHttpPost> guard(request);
    int replies = 0;
    connect(request, &SimpleHttpPost::onResponse, this, [&replies](QString &) { ++replies; });
    request->setUrl(server.baseUrl() + QStringLiteral("/x"));
    request->setBody(QStringLiteral("{}"));
    QMap<QString, QString> headers;
    request->query(headers);
    QTRY_COMPARE(replies, 1);
    QTRY_VERIFY(guard.isNull());
}

void tst_SimpleHttpPost::maskSecrets_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("login body") << QStringLiteral("{\"password\":\"pw\",\"username\":\"u\"}")
                                << QStringLiteral("{\"password\":\"******\",\"username\":\"u\"}");
    QTest::newRow("nested token") << QStringLiteral("{\"result\":{\"token\":\"t\",\"x\":1}}")
                                  << QStringLiteral("{\"result\":{\"token\":\"******\",\"x\":1}}");
    QTest::newRow("escaped quote") << QStringLiteral("{\"password\":\"a\\\"b\",\"n\":2}")
                                   << QStringLiteral("{\"password\":\"******\",\"n\":2}");
    QTest::newRow("number") << QStringLiteral("{\"token\":12345}")
                            << QStringLiteral("{\"token\":\"******\"}");
    QTest::newRow("object value") << QStringLiteral("{\"token\":{\"a\":[1,\"}\"]},\"b\":1}")
                                  << QStringLiteral("{\"token\":\"******\",\"b\":1}");
    QTest::newRow("spaces") << QStringLiteral("{ \"token\" : \"t\" }")
                            << QStringLiteral("{ \"token\" : \"******\" }");
    QTest::newRow("word as a value kept")
            << QStringLiteral("{\"msg\":\"token\"}") << QStringLiteral("{\"msg\":\"token\"}");
    QTest::newRow("other key kept")
            << QStringLiteral("{\"tokens\":\"t\"}") << QStringLiteral("{\"tokens\":\"t\"}");
    QTest::newRow("truncated") << QStringLiteral("{\"password\":\"abc")
                               << QStringLiteral("{\"password\":\"******\"");
    QTest::newRow("plain text") << QStringLiteral("token please") << QStringLiteral("token please");
}

void tst_SimpleHttpPost::maskSecrets()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(LogMask::maskSecrets(text), expected);
}

QTEST_MAIN(tst_SimpleHttpPost)
#include "tst_simplehttppost.moc"
