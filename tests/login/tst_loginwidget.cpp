#include "config/AppContext.h"
#include "courseware/CoursewareSelect.h"
#include "login/LoginWidget.h"
#include "net/RequestOutcome.h"
#include "net/SimpleHttpPost.h"

#include "MalformedBodies.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using TestSupport::MessageCapture;

namespace {

const QString loginPath = QStringLiteral("/clb/action/login");
const QString lessonPath = QStringLiteral("/clb/class/getCurrentLesson");

// Closes every message box that shows up while it lives and counts them.
class BoxCounter
{
public:
    BoxCounter()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                ++count;
                box->done(QMessageBox::Ok);
            }
        });
        timer.start(10);
    }
    int count = 0;

private:
    QTimer timer;
};

} // namespace

// The login window's form and the login request (the first service call of a run).
class tst_LoginWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formWidgets_data();
    void formWidgets();
    void formWindow();
    void tabOrderAndShortcut();
    void accessibleNames_data();
    void accessibleNames();

    void noChannelSendsNothing();
    void loginBodyOnTheWire_data();
    void loginBodyOnTheWire();
    void codeVariants_data();
    void codeVariants();
    void replyNotAnObjectShownAsItIs_data();
    void replyNotAnObjectShownAsItIs();
    void replyWithoutCode();
    void managerIdAsNumber();
    void acceptedWithoutResult();
    void networkFailure_data();
    void networkFailure();
    void overHttps_data();
    void overHttps();
    void errorTipKeptFromEarlierAttempt();
    void returnKey();
    void focusAfterFailure_data();
    void focusAfterFailure();
    void malformedReplies_data();
    void malformedReplies();
    void configNotIni_data();
    void configNotIni();

private:
    template<typename T>
    static T *child(LoginWidget &w, const char *name)
    {
        return w.findChild<T *>(QLatin1String(name));
    }
    static QPushButton *button(LoginWidget &w) { return child<QPushButton>(w, "pushButton"); }
    static QLabel *tip(LoginWidget &w) { return child<QLabel>(w, "error_tip"); }
    // Fills the form; channel -1 leaves both radio buttons unchecked.
    static void fill(LoginWidget &w, const QString &user, const QString &password, int channel);
    void scriptLogin(const QByteArray &body);

    StandInServer server;
    QTemporaryDir tlsFiles;
};

void tst_LoginWidget::initTestCase()
{
    const QJsonObject account {{QStringLiteral("username"), QStringLiteral("teacher")},
                               {QStringLiteral("password"), QStringLiteral("corvin123")},
                               {QStringLiteral("managerID"), QStringLiteral("T1001")},
                               {QStringLiteral("token"), QStringLiteral("demo-token-1")}};
    server.setScenario({{QStringLiteral("accounts"), QJsonArray {account}}});
    QVERIFY(server.start());
    // The test's CA is trusted by this process, as a site would install its own.
    if (StandInServer::tlsAvailable())
        QVERIFY(TestSupport::makeTlsFiles(tlsFiles.path())
                && TestSupport::trustCertificates(tlsFiles.filePath(QStringLiteral("ca.pem"))));
}

void tst_LoginWidget::init()
{
    TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), server.baseUrl()}});
    AppContext &context = AppContext::instance();
    context.channelId = -1;
    context.userName.clear();
    context.managerId.clear();
    context.token.clear();
    context.selectWindow = nullptr;
    // No lesson on the stand-in: a reply that is not JSON ends the check without a box or tip.
    server.script(lessonPath, ScriptedReply {200, QByteArray("no lesson")});
}

void tst_LoginWidget::cleanup()
{
    delete AppContext::instance().selectWindow;
    AppContext::instance().selectWindow = nullptr;
    server.clearScripts();
    server.clearRequests();
    SimpleHttpPost::setTransferTimeout(SimpleHttpPost::defaultTransferTimeout);
}

void tst_LoginWidget::fill(LoginWidget &w, const QString &user, const QString &password,
                           int channel)
{
    child<QLineEdit>(w, "lineEdit")->setText(user);
    child<QLineEdit>(w, "lineEdit_2")->setText(password);
    if (channel == 0)
        child<QRadioButton>(w, "radioButton_atrium")->setChecked(true);
    else if (channel == 1)
        child<QRadioButton>(w, "radioButton_brightHall")->setChecked(true);
}

void tst_LoginWidget::scriptLogin(const QByteArray &body)
{
    server.script(loginPath, ScriptedReply {200, body});
}

void tst_LoginWidget::formWidgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");

    QTest::newRow("pushButton") << "pushButton"
                                << "QPushButton" << QRect(210, 370, 221, 31)
                                << QStringLiteral("登录");
    QTest::newRow("error_tip") << "error_tip"
                               << "QLabel" << QRect(90, 296, 391, 68) << QString();
    QTest::newRow("lineEdit_2") << "lineEdit_2"
                                << "QLineEdit" << QRect(190, 210, 281, 25)
                                << QStringLiteral("请输入密码");
    QTest::newRow("label_2") << "label_2"
                             << "QLabel" << QRect(120, 210, 36, 16) << QStringLiteral("密  码");
    QTest::newRow("lineEdit") << "lineEdit"
                              << "QLineEdit" << QRect(190, 120, 281, 25)
                              << QStringLiteral("请输入H5账号");
    QTest::newRow("label") << "label"
                           << "QLabel" << QRect(120, 121, 36, 16) << QStringLiteral("用户名");
    QTest::newRow("radioButton_atrium")
            << "radioButton_atrium"
            << "QRadioButton" << QRect(190, 270, 89, 21) << QStringLiteral("Veltra");
    QTest::newRow("radioButton_brightHall")
            << "radioButton_brightHall"
            << "QRadioButton" << QRect(390, 270, 91, 21) << QStringLiteral("Solvane");
    // The title spans the fields and is centred over them.
    QTest::newRow("label_3") << "label_3"
                             << "QLabel" << QRect(190, 40, 281, 41) << QStringLiteral("Corvin助手");
}

void tst_LoginWidget::formWidgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    LoginWidget w;
    auto *widget = w.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget(), &w);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->geometry(), geometry);
    if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        QCOMPARE(edit->placeholderText(), text);
        QVERIFY(edit->text().isEmpty());
        QCOMPARE(edit->minimumSize(), QSize(200, 25));
        QCOMPARE(edit->echoMode(),
                 name == QLatin1String("lineEdit_2") ? QLineEdit::Password : QLineEdit::Normal);
    } else if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->text(), text);
    } else {
        QCOMPARE(qobject_cast<QAbstractButton *>(widget)->text(), text);
    }
    if (auto *radio = qobject_cast<QRadioButton *>(widget)) {
        QCOMPARE(radio->font().family(), QStringLiteral("ADMUI2Lg"));
        QCOMPARE(radio->font().pointSize(), 12);
        QVERIFY(!radio->isChecked());
    }
    if (name == QLatin1String("label_3")) {
        QCOMPARE(widget->font().pointSize(), 14);
        QCOMPARE(widget->font().family(), QFont().family());
        QCOMPARE(qobject_cast<QLabel *>(widget)->alignment(), Qt::AlignCenter);
    }
}

void tst_LoginWidget::formWindow()
{
    LoginWidget w;
    QCOMPARE(w.objectName(), QStringLiteral("LoginWidget"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Corvin助手"));
    QCOMPARE(w.size(), QSize(640, 480));
    QCOMPARE(w.focusPolicy(), Qt::TabFocus);
    QVERIFY(w.isWindow());

    const Qt::WindowFlags flags = w.windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    // Only the two buttons go: the title bar and the close button stay.
    QVERIFY(flags & Qt::Window);
    QVERIFY(flags & Qt::WindowTitleHint);
    QVERIFY(flags & Qt::WindowSystemMenuHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);

    // The nine widgets of the form, in creation order, and the About button after them.
    QStringList names;
    for (QObject *o : w.children()) {
        if (o->isWidgetType())
            names.append(o->objectName());
    }
    QCOMPARE(names,
             QStringList({"pushButton", "error_tip", "lineEdit_2", "label_2", "lineEdit", "label",
                          "radioButton_atrium", "radioButton_brightHall", "label_3",
                          "aboutButton"}));

    QLabel *label = tip(w);
    QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignTrailing | Qt::AlignVCenter);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        QCOMPARE(label->palette().color(group, QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(label->textFormat(), Qt::PlainText);

    // Slots in their declared order, after the one signal.
    const QMetaObject *meta = w.metaObject();
    const int signal = meta->indexOfSignal("login_ok()");
    const int clicked = meta->indexOfSlot("on_pushButton_clicked()");
    const int login = meta->indexOfSlot("on_login(QString)");
    const int ok = meta->indexOfSlot("on_login_ok()");
    const int check = meta->indexOfSlot("on_check_lesson(QString)");
    QVERIFY(signal >= meta->methodOffset());
    QVERIFY(signal < clicked);
    QVERIFY(clicked < login);
    QVERIFY(login < ok);
    QVERIFY(ok < check);
}

void tst_LoginWidget::tabOrderAndShortcut()
{
    LoginWidget w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    // It opens in the user name. Tab stops at one channel of the two (the arrow keys go to the
    // other) and at the window, which takes the focus too.
    QCOMPARE(TestSupport::tabPath(&w),
             QStringList({"lineEdit", "lineEdit_2", "pushButton", "radioButton_atrium",
                          "aboutButton", "LoginWidget"}));
    QCOMPARE(button(w)->shortcut(), QKeySequence(QStringLiteral("Return")));
    QVERIFY(button(w)->isEnabled());
}

void tst_LoginWidget::accessibleNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("spoken");
    QTest::addColumn<QString>("description");
    QTest::newRow("user name") << "lineEdit" << QStringLiteral("用户名")
                               << QStringLiteral("请输入H5账号");
    QTest::newRow("password") << "lineEdit_2" << QStringLiteral("密  码")
                              << QStringLiteral("请输入密码");
    QTest::newRow("Veltra") << "radioButton_atrium"
                            << "Veltra" << QStringLiteral("选择渠道");
    QTest::newRow("Solvane") << "radioButton_brightHall"
                             << "Solvane" << QStringLiteral("选择渠道");
}

void tst_LoginWidget::accessibleNames()
{
    QFETCH(QString, name);
    QFETCH(QString, spoken);
    QFETCH(QString, description);
    LoginWidget w;
    QAccessibleInterface *control
            = QAccessible::queryAccessibleInterface(w.findChild<QWidget *>(name));
    QVERIFY(control);
    QCOMPARE(TestSupport::spokenName(control), spoken);
    QCOMPARE(control->text(QAccessible::Description), description);
    QCOMPARE(TestSupport::unnamedControls(&w), QStringList());
}

void tst_LoginWidget::noChannelSendsNothing()
{
    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), -1);
    button(w)->click();
    QCOMPARE(tip(w)->text(), QStringLiteral("请选择渠道！"));
    QVERIFY(button(w)->isEnabled());
    QCOMPARE(AppContext::instance().channelId, -1);
    QVERIFY(AppContext::instance().userName.isEmpty());

    // A later attempt with a channel is the only request the service ever sees.
    scriptLogin("{\"code\":1}");
    child<QRadioButton>(w, "radioButton_brightHall")->setChecked(true);
    button(w)->click();
    QVERIFY(!button(w)->isEnabled());
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().first().path, loginPath.toUtf8());
}

void tst_LoginWidget::loginBodyOnTheWire_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("empty fields") << QString() << QString() << 0
                                  << QByteArray("{\"password\":\"\",\"username\":\"\"}");
    QTest::newRow("chinese") << QStringLiteral("张老师") << QStringLiteral("密码123") << 1
                             << QByteArray("{\"password\":\"\xe5\xaf\x86\xe7\xa0\x81"
                                           "123\",\"username\":\"\xe5\xbc\xa0\xe8\x80\x81\xe5\xb8"
                                           "\x88\"}");
    QTest::newRow("as typed") << QStringLiteral(" teacher ") << QStringLiteral("a\"b\\c") << 0
                              << QByteArray("{\"password\":\"a\\\"b\\\\c\","
                                            "\"username\":\" teacher \"}");
}

void tst_LoginWidget::loginBodyOnTheWire()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, channel);
    QFETCH(QByteArray, expected);

    scriptLogin("{\"code\":1}");
    LoginWidget w;
    fill(w, user, password, channel);
    button(w)->click();
    QVERIFY(!button(w)->isEnabled());
    QCOMPARE(AppContext::instance().channelId, channel);
    QCOMPARE(AppContext::instance().userName, user);

    QTRY_COMPARE(server.requests(loginPath).size(), 1);
    const RecordedRequest request = server.requests(loginPath).first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.body, expected);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QTRY_VERIFY(button(w)->isEnabled());
    // A refused login keeps the channel and the typed name.
    QCOMPARE(AppContext::instance().channelId, channel);
    QCOMPARE(AppContext::instance().userName, user);
}

void tst_LoginWidget::codeVariants_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("tipText");
    QTest::addColumn<QString>("codeLine");

    const QString refused = QStringLiteral("用户名或密码错误!");
    QTest::newRow("0") << QByteArray("{\"code\":0}") << true << QString() << " code :  0";
    QTest::newRow("string \"1\"") << QByteArray("{\"code\":\"1\"}") << true << QString()
                                  << " code :  0";
    QTest::newRow("1.5") << QByteArray("{\"code\":1.5}") << true << QString() << " code :  0";
    QTest::newRow("1") << QByteArray("{\"code\":1}") << false << refused << " code :  1";
    QTest::newRow("-1") << QByteArray("{\"code\":-1}") << false << refused << " code :  -1";
    QTest::newRow("missing") << QByteArray("{\"msg\":\"ok\"}") << false
                             << QStringLiteral("请联系运维人员") << QString();
}

void tst_LoginWidget::codeVariants()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);
    QFETCH(QString, tipText);
    QFETCH(QString, codeLine);

    MessageCapture capture;
    scriptLogin(reply);
    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("x"), 0);
    button(w)->click();
    QTRY_VERIFY(capture.contains(QStringLiteral("[LoginWidget][on_login]")));
    if (accepted) {
        QTRY_COMPARE(server.requests(lessonPath).size(), 1);
        // The lesson check ends on an empty answer and gives the button back.
        QTRY_VERIFY(capture.contains(QStringLiteral("[LoginWidget][on_check_lesson]")));
    } else {
        QVERIFY(button(w)->isEnabled());
    }
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(tip(w)->text(), tipText);
    QCOMPARE(server.requests(lessonPath).size(), accepted ? 1 : 0);
    if (codeLine.isEmpty()) {
        QVERIFY(!capture.texts().join(QLatin1Char('\n')).contains(QLatin1String(" code : ")));
    } else {
        const int replyLine = capture.indexOf(QStringLiteral("[LoginWidget][on_login]"));
        QVERIFY(capture.indexOf(codeLine, replyLine) > replyLine);
    }
}

void tst_LoginWidget::replyNotAnObjectShownAsItIs_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("shown");

    QTest::newRow("array") << QByteArray("[{\"code\":0}]") << QStringLiteral("[{\"code\":0}]");
    QTest::newRow("plain text") << QByteArray("Service temporarily unavailable")
                                << QStringLiteral("Service temporarily unavailable");
    QTest::newRow("chinese text") << QByteArray("\xe7\xb3\xbb\xe7\xbb\x9f\xe7\xb9\x81\xe5\xbf\x99")
                                  << QStringLiteral("系统繁忙");
    // Markup is a page that is not the service's: its cause is shown, never the page.
    QTest::newRow("markup") << QByteArray("<b>busy</b><img src=\"x.png\">")
                            << QStringLiteral("学校网络需要先登录：请打开浏览器完成网页登录后重试");
    QTest::newRow("number") << QByteArray("0") << QStringLiteral("0");
}

void tst_LoginWidget::replyNotAnObjectShownAsItIs()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, shown);

    scriptLogin(reply);
    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 1);
    button(w)->click();
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(tip(w)->text(), shown);
    QVERIFY(server.requests(lessonPath).isEmpty());
}

void tst_LoginWidget::replyWithoutCode()
{
    scriptLogin("{\"result\":{\"token\":\"t\",\"managerID\":\"m\"},\"success\":true}");
    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 0);
    button(w)->click();
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(tip(w)->text(), QStringLiteral("请联系运维人员"));
    // Nothing of the refused reply is kept.
    QVERIFY(AppContext::instance().token.isEmpty());
    QVERIFY(AppContext::instance().managerId.isEmpty());
    QVERIFY(server.requests(lessonPath).isEmpty());
}

void tst_LoginWidget::managerIdAsNumber()
{
    scriptLogin("{\"code\":0,\"result\":{\"token\":\"tk-9\",\"managerID\":1001,\"x\":[]}}");
    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 1);
    button(w)->click();
    QTRY_COMPARE(server.requests(lessonPath).size(), 1);
    QCOMPARE(AppContext::instance().managerId, QStringLiteral("1001"));
    QCOMPARE(AppContext::instance().token, QStringLiteral("tk-9"));
    QCOMPARE(server.requests(lessonPath).first().body,
             QByteArray("{\"channelId\":1,\"teacherID\":\"1001\"}"));
    QTRY_VERIFY(button(w)->isEnabled());
}

void tst_LoginWidget::acceptedWithoutResult()
{
    AppContext::instance().managerId = QStringLiteral("stale");
    AppContext::instance().token = QStringLiteral("stale");
    scriptLogin("{\"code\":0}");
    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 0);
    button(w)->click();
    QTRY_COMPARE(server.requests(lessonPath).size(), 1);
    QCOMPARE(server.requests(lessonPath).first().body,
             QByteArray("{\"channelId\":0,\"teacherID\":\"\"}"));
    QCOMPARE(AppContext::instance().managerId, QString());
    QCOMPARE(AppContext::instance().token, QString());
    QTRY_VERIFY(button(w)->isEnabled());
}

void tst_LoginWidget::networkFailure_data()
{
    QTest::addColumn<QString>("address"); // empty: the stand-in, which never answers
    QTest::addColumn<QString>("shown");
    QTest::newRow("closed port")
            << "http://127.0.0.1:%1"
            << QStringLiteral("服务器 127.0.0.1 拒绝连接：请稍后重试，或请 IT 核对服务地址");
    QTest::newRow("time-out") << QString()
                              << QStringLiteral(
                                         "服务器 127.0.0.1 长时间没有响应：请检查网络后重试");
    // .invalid never resolves (RFC 2606).
    QTest::newRow("unknown name") << "http://corvin-service.invalid:%1"
                                  << QStringLiteral(
                                             "找不到服务器 corvin-service.invalid：请检查网线或 "
                                             "Wi-Fi；网络正常时请联系 IT 核对服务地址");
}

void tst_LoginWidget::networkFailure()
{
    QFETCH(QString, address);
    QFETCH(QString, shown);

    const bool timeOut = address.isEmpty();
    if (timeOut) {
        ScriptedReply never;
        never.neverAnswer = true;
        server.script(loginPath, never);
        SimpleHttpPost::setTransferTimeout(300);
    } else {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        // QSettings keeps its parsed copy while size and time stamp look unchanged, and the
        // rewrite below has the same size within the same millisecond: remove the file first.
        TestSupport::writeConfig({});
        TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), address.arg(closedPort)}});
    }

    MessageCapture capture;
    LoginWidget w;
    button(w)->click(); // no channel yet: leaves a message that the failure must replace
    QCOMPARE(tip(w)->text(), QStringLiteral("请选择渠道！"));
    fill(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 0);
    button(w)->click();
    QVERIFY(!button(w)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), 10000);
    QCOMPARE(tip(w)->text(), shown);
    QVERIFY(capture.contains(QStringLiteral("[LoginWidget][on_login]")));
    QVERIFY(server.requests(lessonPath).isEmpty());
    if (timeOut)
        QCOMPARE(server.requests(loginPath).size(), 1);
}

void tst_LoginWidget::overHttps_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("shown");
    QTest::newRow("trusted") << "trusted.pem" << true << QString();
    QTest::newRow("untrusted")
            << "selfsigned.pem" << false
            << QStringLiteral("此电脑不信任 127.0.0.1 的证书（颁发者：127.0.0.1）：请联系 IT");
    // A certificate for another name: the network answers in the service's place.
    QTest::newRow("wrong host name")
            << "wronghost.pem" << false
            << QStringLiteral("网络可能需要网页登录：请打开浏览器登录；若仍失败，请联系 IT");
    QTest::newRow("expired")
            << "expired.pem" << false
            << QStringLiteral("127.0.0.1 的证书无效（The certificate has expired）：请联系 IT");
}

// A certificate that does not hold ends the request in the handshake: nothing is sent, and the
// teacher sees the network failure.
void tst_LoginWidget::overHttps()
{
    QFETCH(QString, certificate);
    QFETCH(bool, accepted);
    QFETCH(QString, shown);
    if (!StandInServer::tlsAvailable())
        QSKIP("the stand-in speaks no TLS in this build (no OpenSSL for MinGW here)");
    StandInServer tls;
    tls.setScenario(
            {{QStringLiteral("accounts"),
              QJsonArray {QJsonObject {{QStringLiteral("username"), QStringLiteral("teacher")},
                                       {QStringLiteral("password"), QStringLiteral("pw")},
                                       {QStringLiteral("managerID"), QStringLiteral("T7")}}}}});
    // As in every case here: no lesson, a reply that is not JSON ends the check quietly.
    tls.script(lessonPath, ScriptedReply {200, QByteArray("no lesson")});
    QVERIFY(tls.useTls(tlsFiles.filePath(certificate),
                       tlsFiles.filePath(QStringLiteral("key.pem"))));
    QVERIFY(tls.start());
    TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), tls.baseUrl()}});
    QVERIFY(tls.baseUrl().startsWith(QLatin1String("https://")));

    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("pw"), 0);
    button(w)->click();
    if (accepted) {
        QTRY_COMPARE_WITH_TIMEOUT(tls.requests(lessonPath).size(), 1, 10000);
        QCOMPARE(tls.requests(loginPath).first().body,
                 QByteArray("{\"password\":\"pw\",\"username\":\"teacher\"}"));
        QCOMPARE(tls.requests(lessonPath).first().body,
                 QByteArray("{\"channelId\":0,\"teacherID\":\"T7\"}"));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), 10000);
        QCOMPARE(tip(w)->text(), shown);
        QCOMPARE(tls.requests().size(), 0);
    }
}

void tst_LoginWidget::errorTipKeptFromEarlierAttempt()
{
    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("wrong"), 1);
    button(w)->click();
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(tip(w)->text(), QStringLiteral("用户名或密码错误!"));

    // The right password passes; the lesson check fails silently and nothing replaces the text.
    child<QLineEdit>(w, "lineEdit_2")->setText(QStringLiteral("corvin123"));
    button(w)->click();
    QTRY_COMPARE(server.requests(lessonPath).size(), 1);
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(tip(w)->text(), QStringLiteral("用户名或密码错误!"));
    QCOMPARE(AppContext::instance().managerId, QStringLiteral("T1001"));
    QCOMPARE(AppContext::instance().token, QStringLiteral("demo-token-1"));
    QCOMPARE(server.requests(loginPath).size(), 2);
}

void tst_LoginWidget::returnKey()
{
    ScriptedReply slow {200, QByteArray("{\"code\":1}")};
    slow.delayMs = 500;
    server.script(loginPath, slow);

    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 0);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto *password = child<QLineEdit>(w, "lineEdit_2");
    password->setFocus();

    // The shortcut clicks the button the animated way, a moment after the key.
    QTest::keyClick(password, Qt::Key_Return);
    QTRY_VERIFY(!button(w)->isEnabled());
    QTRY_COMPARE(server.requests(loginPath).size(), 1);

    // While the first request is out the key does nothing.
    QTest::keyClick(password, Qt::Key_Return);
    QTest::keyClick(&w, Qt::Key_Return);
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(tip(w)->text(), QStringLiteral("用户名或密码错误!"));
    QCOMPARE(server.requests(loginPath).size(), 1);

    // Enabled again, the key repeats the login.
    QTest::keyClick(password, Qt::Key_Return);
    QTRY_COMPARE(server.requests(loginPath).size(), 2);
    QTRY_VERIFY(button(w)->isEnabled());
}

void tst_LoginWidget::focusAfterFailure_data()
{
    QTest::addColumn<QByteArray>("loginReply");
    QTest::addColumn<QByteArray>("lessonReply"); // empty: the init's reply, not JSON
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QString>("tipText");
    QTest::newRow("wrong password") << QByteArray("{\"code\":1}") << QByteArray() << "lineEdit_2"
                                    << QStringLiteral("用户名或密码错误!");
    QTest::newRow("no code") << QByteArray("{\"msg\":\"x\"}") << QByteArray() << "pushButton"
                             << QStringLiteral("请联系运维人员");
    QTest::newRow("not JSON") << QByteArray("busy") << QByteArray() << "pushButton"
                              << "busy";
    QTest::newRow("no current lesson")
            << QByteArray("{\"code\":0}") << QByteArray("{\"success\":false}") << "pushButton"
            << QString();
}

// Space on the focused button disables it, and the focus leaves it; after the failure the focus
// is where the teacher goes on, and a screen reader reads the message there.
void tst_LoginWidget::focusAfterFailure()
{
    QFETCH(QByteArray, loginReply);
    QFETCH(QByteArray, lessonReply);
    QFETCH(QString, focus);
    QFETCH(QString, tipText);
    scriptLogin(loginReply);
    if (!lessonReply.isEmpty())
        server.script(lessonPath, ScriptedReply {200, lessonReply});

    BoxCounter boxes;
    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("x"), 1);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    button(w)->setFocus();
    QTest::keyClick(button(w), Qt::Key_Space);
    QVERIFY(!button(w)->isEnabled());
    QVERIFY(w.focusWidget() != button(w));
    QTRY_VERIFY(w.focusWidget() && w.focusWidget()->objectName() == focus);
    QVERIFY(button(w)->isEnabled());
    QCOMPARE(tip(w)->text(), tipText);
    QCOMPARE(QAccessible::queryAccessibleInterface(w.focusWidget())->text(QAccessible::Description),
             tipText);
    QCOMPARE(boxes.count, lessonReply.isEmpty() ? 0 : 1);
}

void tst_LoginWidget::malformedReplies_data()
{
    MalformedBodies::addRows();
}

void tst_LoginWidget::malformedReplies()
{
    QFETCH(QByteArray, body);

    BoxCounter boxes;
    scriptLogin(body);
    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 0);
    button(w)->click();
    // Whatever arrives, the window ends idle again: refused, or accepted and checked.
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), 20000);
    QCOMPARE(boxes.count, 0);
    if (server.requests(lessonPath).isEmpty()) {
        // Refused: the tip names the reason, or shows a short plain text as it arrived (up to a
        // NUL); never a page's markup.
        const QString received = QString::fromUtf8(
                body.constData(), int(qstrnlen(body.constData(), uint(body.size()))));
        const QStringList reasons {
                RequestOutcome::isShortPlainText(received) ? received : QString(),
                QStringLiteral("学校网络需要先登录：请打开浏览器完成网页登录后重试"),
                QStringLiteral("服务没有返回内容：请稍后重试，仍不行请联系 IT"),
                QStringLiteral("服务的回复无法识别：请联系 IT"),
                QStringLiteral("请联系运维人员"),
                QStringLiteral("用户名或密码错误!")};
        QVERIFY2(reasons.contains(tip(w)->text()), qPrintable(tip(w)->text().left(80)));
    }
}

void tst_LoginWidget::configNotIni_data()
{
    QTest::addColumn<QByteArray>("content");
    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char((i * 97) & 0xff));
    QTest::newRow("binary") << binary;
    QTest::newRow("JSON") << QByteArray("{\"Server\": {\"CorvinHost\": \"http://127.0.0.1:1\"}}");
    QTest::newRow("UTF-16") << QByteArray("\xff\xfe[\0S\0e\0r\0v\0e\0r\0]\0\n\0", 20);
    QTest::newRow("brackets only") << QByteArray("[[[\n]]]=\n=\n[");
}

// Without a readable service address the login fails and says which setting to check; the
// settings file is only ever read.
void tst_LoginWidget::configNotIni()
{
    QFETCH(QByteArray, content);
    TestSupport::writeRawConfig(content);
    QCOMPARE(AppContext::instance().settingText(QStringLiteral("Server/CorvinHost")), QString());

    LoginWidget w;
    fill(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 0);
    button(w)->click();
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), 10000);
    QCOMPARE(tip(w)->text(),
             QStringLiteral(
                     "未设置有效的服务地址：请联系 IT 检查 config.ini 中的 Server/CorvinHost"));
    QVERIFY(server.requests(loginPath).isEmpty());
    QVERIFY(!AppContext::instance().selectWindow);
    QFile file(TestSupport::configPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
}

QTEST_MAIN(tst_LoginWidget)
#include "tst_loginwidget.moc"
