#include "config/AppContext.h"
#include "login/LoginWidget.h"
#include "net/ProxyLogin.h"
#include "net/ProxyLoginDialog.h"
#include "net/RequestOutcome.h"

#include "StandInProxy.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QApplication>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using TestSupport::MessageCapture;

namespace {

const QString loginPath = QStringLiteral("/clb/action/login");
const QString lessonPath = QStringLiteral("/clb/class/getCurrentLesson");
const QString serviceName = QStringLiteral("service.corvin.test");
const QString proxyLoginText
        = QStringLiteral("代理服务器需要登录：请输入代理的用户名和密码，或联系 IT");

// Answers every proxy-login dialog that shows up while it lives, and counts them.
class DialogAnswerer
{
public:
    DialogAnswerer(const QString &user, const QString &password, bool accept)
    {
        QObject::connect(&timer, &QTimer::timeout, [=] {
            auto *dialog = qobject_cast<ProxyLoginDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            ++count;
            // Read as a screen reader reads it: every field named after its label.
            unnamed += TestSupport::unnamedControls(dialog);
            dialog->findChild<QLineEdit *>(QStringLiteral("user"))->setText(user);
            dialog->findChild<QLineEdit *>(QStringLiteral("password"))->setText(password);
            if (accept)
                dialog->accept();
            else
                dialog->reject();
        });
        timer.start(10);
    }
    int count = 0;
    QStringList unnamed;

private:
    QTimer timer;
};

} // namespace

// The login as a school's network meets it: a forward proxy that alone resolves the service, a
// proxy that wants a login, a portal or a gateway answering in the service's place.
class tst_SchoolNetwork : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void throughTheProxy();
    void networkAnswersInsteadOfService_data();
    void networkAnswersInsteadOfService();
    void proxyLogin_data();
    void proxyLogin();
    void proxySetting_data();
    void proxySetting();
    void everyCauseItsOwnText();

private:
    // Presses 登录 and waits until the window is idle again; returns the tip's text.
    QString attempt(LoginWidget &w, const QString &password);

    StandInServer service;
    StandInServer portalTls;
    StandInProxy proxy;
    QTemporaryDir tlsFiles;
};

void tst_SchoolNetwork::initTestCase()
{
    const QJsonObject account {{QStringLiteral("username"), QStringLiteral("teacher")},
                               {QStringLiteral("password"), QStringLiteral("corvin123")},
                               {QStringLiteral("managerID"), QStringLiteral("T1")}};
    service.setScenario({{QStringLiteral("accounts"), QJsonArray {account}}});
    // No lesson: a short text ends the check quietly and the window is idle again.
    service.script(lessonPath, ScriptedReply {200, QByteArray("no lesson")});
    QVERIFY(service.start());
    QVERIFY(proxy.start());
    proxy.mapName(serviceName, QStringLiteral("127.0.0.1"));
    if (StandInServer::tlsAvailable()) {
        QVERIFY(TestSupport::makeTlsFiles(tlsFiles.path())
                && TestSupport::trustCertificates(tlsFiles.filePath(QStringLiteral("ca.pem"))));
        // The portal's own TLS server: a certificate of a trusted CA, but not for the service.
        QVERIFY(portalTls.useTls(tlsFiles.filePath(QStringLiteral("wronghost.pem")),
                                 tlsFiles.filePath(QStringLiteral("key.pem"))));
        QVERIFY(portalTls.start());
        proxy.setPortalTls(QStringLiteral("127.0.0.1"), quint16(portalTls.port()));
    }
    QVERIFY(TestSupport::setSystemProxy(QStringLiteral("127.0.0.1:%1").arg(proxy.port())));
}

void tst_SchoolNetwork::init()
{
    TestSupport::writeConfig(
            {{QStringLiteral("Server/CorvinHost"),
              QStringLiteral("http://%1:%2").arg(serviceName).arg(service.port())}});
    proxy.setMode(StandInProxy::Mode::Forward);
    proxy.requireLogin(QString(), QString());
    proxy.clear();
    service.clearRequests();
    ProxyLogin::forget();
}

void tst_SchoolNetwork::cleanupTestCase()
{
    TestSupport::setSystemProxy(QString());
}

QString tst_SchoolNetwork::attempt(LoginWidget &w, const QString &password)
{
    w.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(QStringLiteral("teacher"));
    w.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->setText(password);
    w.findChild<QRadioButton *>(QStringLiteral("radioButton_atrium"))->setChecked(true);
    auto *button = w.findChild<QPushButton *>(QStringLiteral("pushButton"));
    button->click();
    if (!QTest::qWaitFor([button] { return button->isEnabled(); }, 15000))
        return QStringLiteral("<still waiting>");
    return w.findChild<QLabel *>(QStringLiteral("error_tip"))->text();
}

// Only the proxy knows the service's name; the whole login goes through it, and the plain http
// address is noted once in the run's log.
void tst_SchoolNetwork::throughTheProxy()
{
    MessageCapture capture;
    LoginWidget w;
    QCOMPARE(attempt(w, QStringLiteral("wrong")), QStringLiteral("用户名或密码错误!"));
    attempt(w, QStringLiteral("corvin123"));
    QCOMPARE(service.requests(loginPath).size(), 2);
    QCOMPARE(service.requests(lessonPath).size(), 1);
    const QByteArray expected = QStringLiteral("POST http://%1:%2%3 HTTP/1.1")
                                        .arg(serviceName)
                                        .arg(service.port())
                                        .arg(lessonPath)
                                        .toLatin1();
    QCOMPARE(proxy.seen().size(), 3);
    QCOMPARE(proxy.seen().last().requestLine, expected);
    QCOMPARE(capture.texts().filter(QStringLiteral("[ServiceRequest][send]")).size(), 1);
    // Only the lesson check's short text is not the service's JSON.
    QCOMPARE(capture.texts().filter(QStringLiteral("[SimpleHttpPost][failure]")).size(), 1);
    QVERIFY(capture.texts()
                    .filter(QStringLiteral("cause: NotTheService url: \"http://%1:%2%3\"")
                                    .arg(serviceName)
                                    .arg(service.port())
                                    .arg(lessonPath))
                    .size()
            == 1);
}

void tst_SchoolNetwork::networkAnswersInsteadOfService_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("https");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("shown");
    using Mode = StandInProxy::Mode;
    const QString webLogin = QStringLiteral("学校网络需要先登录：请打开浏览器完成网页登录后重试");
    QTest::newRow("captive portal") << int(Mode::Portal) << false << "NotTheService" << webLogin;
    QTest::newRow("portal redirect")
            << int(Mode::PortalRedirect) << false << "NotTheService" << webLogin;
    QTest::newRow("gateway 502") << int(Mode::Gateway) << false << "HttpError"
                                 << QStringLiteral("服务暂时不可用（HTTP 502）：请稍后重试");
    QTest::newRow("proxy down") << -1 << false << "ProxyRefused"
                                << QStringLiteral("无法通过代理服务器 127.0.0.1:%1 连网：请联系 IT "
                                                  "检查代理设置");
    QTest::newRow("portal on https")
            << int(Mode::Portal) << true << "TlsFailure"
            << QStringLiteral("网络可能需要网页登录：请打开浏览器登录；若仍失败，请联系 IT");
}

void tst_SchoolNetwork::networkAnswersInsteadOfService()
{
    QFETCH(int, mode);
    QFETCH(bool, https);
    QFETCH(QString, cause);
    QFETCH(QString, shown);
    if (https && !StandInServer::tlsAvailable())
        QSKIP("the stand-in speaks no TLS in this build (no OpenSSL for MinGW here)");
    if (https)
        TestSupport::writeConfig(
                {{QStringLiteral("Server/CorvinHost"),
                  QStringLiteral("https://%1:%2").arg(serviceName).arg(service.port())}});
    const quint16 proxyPort = proxy.port();
    if (mode < 0)
        proxy.stop();
    else
        proxy.setMode(StandInProxy::Mode(mode));

    MessageCapture capture;
    LoginWidget w;
    const QString tip = attempt(w, QStringLiteral("corvin123"));
    if (mode < 0)
        QVERIFY(proxy.start(proxyPort));
    QCOMPARE(tip, shown.contains(QLatin1String("%1")) ? shown.arg(proxyPort) : shown);
    QVERIFY(service.requests().isEmpty());
    // The log tells a support engineer the cause and the way the request went.
    const QStringList failures
            = capture.texts().filter(QStringLiteral("[SimpleHttpPost][failure]"));
    QCOMPARE(failures.size(), 1);
    QVERIFY2(failures.first().contains(
                     QStringLiteral("cause: %1 url: \"%2://%3:%4/clb/action/login\" "
                                    "proxy: 127.0.0.1:%5 ")
                             .arg(cause, https ? "https" : "http", serviceName)
                             .arg(service.port())
                             .arg(proxyPort)),
             qPrintable(failures.first()));
    if (https)
        QVERIFY2(failures.first().contains(QStringLiteral(
                         "certificates: \"subject other.example, issuer Corvin Test CA\" "
                         "names: \"other.example\" tls errors: \"")),
                 qPrintable(failures.first()));
}

void tst_SchoolNetwork::proxyLogin_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accept");
    QTest::addColumn<bool>("passes");
    QTest::newRow("right login") << "s3cret-proxy" << true << true;
    QTest::newRow("wrong login") << "guess" << true << false;
    QTest::newRow("cancelled") << "s3cret-proxy" << false << false;
}

// Asked once in a dialog, kept for the run: the lesson check after the login asks no more.
void tst_SchoolNetwork::proxyLogin()
{
    QFETCH(QString, typed);
    QFETCH(bool, accept);
    QFETCH(bool, passes);
    proxy.requireLogin(QStringLiteral("lehrer"), QStringLiteral("s3cret-proxy"));

    MessageCapture capture;
    DialogAnswerer answerer(QStringLiteral("lehrer"), typed, accept);
    LoginWidget w;
    QString tip = attempt(w, QStringLiteral("corvin123"));
    int failedBefore = 0;
#ifdef Q_OS_WIN
    // Windows first offers the logged-on user (single sign-on), which this Basic proxy refuses.
    QCOMPARE(answerer.count, 0);
    QCOMPARE(tip, proxyLoginText);
    tip = attempt(w, QStringLiteral("corvin123"));
    failedBefore = 1;
#endif
    QCOMPARE(answerer.count, 1);
    QCOMPARE(answerer.unnamed, QStringList());
    QCOMPARE(service.requests(lessonPath).size(), passes ? 1 : 0);
    if (passes) {
        QCOMPARE(service.requests(loginPath).size(), 1);
        QCOMPARE(proxy.seen().last().proxyAuthorization,
                 QByteArray("Basic ") + QByteArray("lehrer:s3cret-proxy").toBase64());
    } else {
        QCOMPARE(tip, proxyLoginText);
        QVERIFY(service.requests().isEmpty());
        QCOMPARE(capture.texts()
                         .filter(QStringLiteral(
                                 "[SimpleHttpPost][failure] cause: ProxyLoginRequired"))
                         .size(),
                 failedBefore + 1);
    }
    for (const QString &line : capture.texts())
        QVERIFY2(!line.contains(typed), qPrintable(line));
}

void tst_SchoolNetwork::proxySetting_data()
{
    QTest::addColumn<QString>("setting"); // %1: the port of a second proxy
    QTest::addColumn<int>("viaSystem");
    QTest::addColumn<int>("viaSet");
    QTest::newRow("none: direct, where the name does not resolve") << "none" << 0 << 0;
    QTest::newRow("a proxy of its own") << "127.0.0.1:%1" << 0 << 1;
    QTest::newRow("unusable: the system's") << "proxy.example" << 1 << 0;
}

// Network/Proxy of config.ini (or its policy) overrides the system's proxy for every request.
void tst_SchoolNetwork::proxySetting()
{
    QFETCH(QString, setting);
    QFETCH(int, viaSystem);
    QFETCH(int, viaSet);
    StandInProxy own;
    QVERIFY(own.start());
    own.mapName(serviceName, QStringLiteral("127.0.0.1"));
    TestSupport::writeConfig(
            {{QStringLiteral("Server/CorvinHost"),
              QStringLiteral("http://%1:%2").arg(serviceName).arg(service.port())},
             {QStringLiteral("Network/Proxy"),
              setting.contains(QLatin1String("%1")) ? setting.arg(own.port()) : setting}});
    LoginWidget w;
    const QString tip = attempt(w, QStringLiteral("wrong"));
    QCOMPARE(proxy.seen().size(), viaSystem);
    QCOMPARE(own.seen().size(), viaSet);
    QCOMPARE(tip,
             viaSystem + viaSet ? QStringLiteral("用户名或密码错误!")
                                : QStringLiteral("找不到服务器 service.corvin.test：请检查网线或 "
                                                 "Wi-Fi；网络正常时请联系 IT 核对服务地址"));
}

// Each cause has a text of its own, and none of them is markup.
void tst_SchoolNetwork::everyCauseItsOwnText()
{
    using Cause = RequestOutcome::Cause;
    QList<RequestOutcome> outcomes;
    for (int cause = int(Cause::Answered); cause <= int(Cause::NetworkError); ++cause) {
        RequestOutcome outcome;
        outcome.cause = Cause(cause);
        outcome.host = QStringLiteral("service.example");
        outcome.proxy = QStringLiteral("proxy.example:3128");
        outcome.httpStatus = 502;
        outcome.peerIssuer = QStringLiteral("Inspector CA");
        outcomes.append(outcome);
        if (outcome.cause == Cause::TlsFailure) {
            outcome.tlsUntrusted = true;
            outcomes.append(outcome);
            outcome.tlsHostMismatch = true;
            outcomes.append(outcome);
        } else if (outcome.cause == Cause::HttpError) {
            outcome.httpStatus = 404;
            outcomes.append(outcome);
        }
    }
    QSet<QString> texts;
    for (const RequestOutcome &outcome : outcomes) {
        const QString text = outcome.message();
        QVERIFY2(!text.isEmpty() && !text.contains(QLatin1Char('<')), qPrintable(text));
        texts.insert(text);
    }
    QCOMPARE(texts.size(), outcomes.size());
}

QTEST_MAIN(tst_SchoolNetwork)
#include "tst_schoolnetwork.moc"
