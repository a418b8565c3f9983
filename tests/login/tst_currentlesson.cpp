#include "config/AppContext.h"
#include "courseware/CoursewareSelect.h"
#include "login/LoginWidget.h"
#include "net/SimpleHttpPost.h"

#include "MalformedBodies.h"
#include "StandInServer.h"
#include "TestSupport.h"

#include <QApplication>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

using TestSupport::MessageCapture;
using TestSupport::ModalSeen;

namespace {

const QString loginPath = QStringLiteral("/clb/action/login");
const QString lessonPath = QStringLiteral("/clb/class/getCurrentLesson");
const QString noLessonText = QStringLiteral("未检测到相关课程，请确认渠道等相关信息");

// Notes every message box the moment it is shown: its parent and the login button's state.
// With `close` set it also closes them, for the cases in which no box may appear at all.
class BoxObserver : public QObject
{
public:
    BoxObserver(QPushButton *button, bool close) : button(button), close(close)
    {
        qApp->installEventFilter(this);
    }
    ~BoxObserver() override { qApp->removeEventFilter(this); }

    int shown = 0;
    QWidget *parent = nullptr;
    bool buttonEnabled = true;
    bool modal = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *box = qobject_cast<QMessageBox *>(watched);
        if (box && event->type() == QEvent::Show) {
            ++shown;
            parent = box->parentWidget();
            buttonEnabled = button->isEnabled();
            modal = box->isModal();
            if (close)
                QMetaObject::invokeMethod(box, "reject", Qt::QueuedConnection);
        }
        return false;
    }

private:
    QPushButton *button;
    bool close;
};

} // namespace

// The current-lesson check after an accepted login, and the hand-over to the selection window.
class tst_CurrentLesson : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void lessonBodyOnTheWire_data();
    void lessonBodyOnTheWire();
    void successHandsOver();
    void notSuccessShowsBox_data();
    void notSuccessShowsBox();
    void unreadableReplyEnablesButton_data();
    void unreadableReplyEnablesButton();
    void lessonRequestTimesOut();
    void retryAfterBoxRepeatsLogin();
    void otherChannelFindsLesson();
    void malformedReplies_data();
    void malformedReplies();

private:
    static QPushButton *button(LoginWidget &w)
    {
        return w.findChild<QPushButton *>(QStringLiteral("pushButton"));
    }
    static void login(LoginWidget &w, const QString &user, const QString &password, int channel);
    static bool handedOver(LoginWidget &w);

    StandInServer server;
};

void tst_CurrentLesson::initTestCase()
{
    auto account = [](const QString &user, const QString &managerId) {
        return QJsonObject {{QStringLiteral("username"), user},
                            {QStringLiteral("password"), QStringLiteral("corvin123")},
                            {QStringLiteral("managerID"), managerId},
                            {QStringLiteral("token"), user + QStringLiteral("-token")}};
    };
    auto lesson = [](int channel, const QString &teacher) {
        return QJsonObject {{QStringLiteral("channelId"), channel},
                            {QStringLiteral("teacherID"), teacher}};
    };
    // "teacher" has a lesson on Solvane only, "wang" on Veltra only.
    server.setScenario({{QStringLiteral("accounts"),
                         QJsonArray {account(QStringLiteral("teacher"), QStringLiteral("T1001")),
                                     account(QStringLiteral("wang"), QStringLiteral("王老师01"))}},
                        {QStringLiteral("lessons"),
                         QJsonArray {lesson(1, QStringLiteral("T1001")),
                                     lesson(0, QStringLiteral("王老师01"))}}});
    QVERIFY(server.start());
}

void tst_CurrentLesson::init()
{
    TestSupport::writeConfig({{QStringLiteral("Server/CorvinHost"), server.baseUrl()}});
    AppContext &context = AppContext::instance();
    context.channelId = -1;
    context.userName.clear();
    context.managerId.clear();
    context.token.clear();
    context.selectWindow = nullptr;
}

void tst_CurrentLesson::cleanup()
{
    delete AppContext::instance().selectWindow;
    AppContext::instance().selectWindow = nullptr;
    server.clearScripts();
    server.clearRequests();
    SimpleHttpPost::setTransferTimeout(SimpleHttpPost::defaultTransferTimeout);
}

void tst_CurrentLesson::login(LoginWidget &w, const QString &user, const QString &password,
                              int channel)
{
    w.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(user);
    w.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"))->setText(password);
    w.findChild<QRadioButton *>(channel == 0 ? QStringLiteral("radioButton_atrium")
                                             : QStringLiteral("radioButton_brightHall"))
            ->setChecked(true);
    button(w)->click();
}

bool tst_CurrentLesson::handedOver(LoginWidget &w)
{
    CoursewareSelect *select = AppContext::instance().selectWindow;
    return select && select->isVisible() && !w.isVisible();
}

void tst_CurrentLesson::lessonBodyOnTheWire_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("lessonFound");

    QTest::newRow("Solvane") << "teacher" << 1
                             << QByteArray("{\"channelId\":1,\"teacherID\":\"T1001\"}") << true;
    QTest::newRow("Veltra, no lesson")
            << "teacher" << 0 << QByteArray("{\"channelId\":0,\"teacherID\":\"T1001\"}") << false;
    QTest::newRow("chinese id") << "wang" << 0
                                << QByteArray("{\"channelId\":0,\"teacherID\":\"\xe7\x8e\x8b\xe8"
                                              "\x80\x81\xe5\xb8\x88"
                                              "01\"}")
                                << true;
}

void tst_CurrentLesson::lessonBodyOnTheWire()
{
    QFETCH(QString, user);
    QFETCH(int, channel);
    QFETCH(QByteArray, expected);
    QFETCH(bool, lessonFound);

    MessageCapture capture;
    LoginWidget w;
    w.show();
    ModalSeen seen;
    if (!lessonFound)
        TestSupport::closeNextModal(&seen);
    login(w, user, QStringLiteral("corvin123"), channel);

    QTRY_COMPARE(server.requests(lessonPath).size(), 1);
    const RecordedRequest request = server.requests(lessonPath).first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.body, expected);
    QCOMPARE(AppContext::instance().token, user + QStringLiteral("-token"));

    if (lessonFound) {
        QTRY_VERIFY(handedOver(w));
    } else {
        QTRY_VERIFY(seen.seen);
        QTRY_VERIFY(button(w)->isEnabled());
        QVERIFY(!AppContext::instance().selectWindow);
    }
    QVERIFY(capture.contains(QStringLiteral("[LoginWidget][on_check_lesson]")));
}

void tst_CurrentLesson::successHandsOver()
{
    server.script(lessonPath, ScriptedReply {200, QByteArray("{\"success\":true,\"x\":\"\"}")});
    MessageCapture capture;
    LoginWidget w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    BoxObserver boxes(button(w), true);
    login(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 0);

    QTRY_VERIFY(AppContext::instance().selectWindow);
    QPointer<CoursewareSelect> select = AppContext::instance().selectWindow;
    QTRY_VERIFY(select->isVisible());
    QVERIFY(!w.isVisible());
    QVERIFY(select->isWindow());
    QVERIFY(!select->parentWidget());
    QVERIFY(!button(w)->isEnabled());
    QCOMPARE(boxes.shown, 0);
    // What the login stored stays for the next window.
    QCOMPARE(AppContext::instance().channelId, 0);
    QCOMPARE(AppContext::instance().managerId, QStringLiteral("T1001"));
    QCOMPARE(AppContext::instance().userName, QStringLiteral("teacher"));
    QCOMPARE(server.requests(loginPath).size(), 1);
    QCOMPARE(server.requests(lessonPath).size(), 1);
    // The whole way from the form to the next window without a word from Qt itself.
    QTRY_VERIFY(!select->findChild<QLabel *>(QStringLiteral("error_tip"))->text().endsWith("..."));
    QCOMPARE(capture.warnings(), QStringList());
}

void tst_CurrentLesson::notSuccessShowsBox_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("\"true\"") << QByteArray("{\"success\":\"true\"}");
    QTest::newRow("1") << QByteArray("{\"success\":1}");
    QTest::newRow("{}") << QByteArray("{}");
    QTest::newRow("false") << QByteArray("{\"success\":false}");
    QTest::newRow("null") << QByteArray("{\"success\":null}");
    QTest::newRow("nested") << QByteArray("{\"result\":{\"success\":true}}");
}

void tst_CurrentLesson::notSuccessShowsBox()
{
    QFETCH(QByteArray, reply);

    server.script(lessonPath, ScriptedReply {200, reply});
    LoginWidget w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    BoxObserver observer(button(w), false);
    ModalSeen seen;
    TestSupport::closeNextModal(&seen);
    login(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 1);

    QTRY_VERIFY(seen.seen);
    QCOMPARE(seen.title, QStringLiteral("提示"));
    QCOMPARE(seen.text, noLessonText);
    QCOMPARE(seen.buttons, QStringList {QStringLiteral("OK")});
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(observer.shown, 1);
    QCOMPARE(observer.parent, &w);
    QVERIFY(observer.modal);
    // No second request can start while the box is open.
    QVERIFY(!observer.buttonEnabled);
    QVERIFY(w.isVisible());
    QVERIFY(!AppContext::instance().selectWindow);
}

void tst_CurrentLesson::unreadableReplyEnablesButton_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("tipText");
    const QString kept = QStringLiteral("earlier");
    // A failed request says why; a short text of the service's passes quietly.
    QTest::newRow("empty")
            << 200 << QByteArray()
            << QStringLiteral("课程查询失败：服务没有返回内容：请稍后重试，仍不行请联系 IT");
    QTest::newRow("plain text") << 200 << QByteArray("success") << kept;
    QTest::newRow("array") << 200 << QByteArray("[{\"success\":true}]") << kept;
    QTest::newRow("truncated") << 200 << QByteArray("{\"success\":true") << kept;
    QTest::newRow("html 500") << 500 << QByteArray("<html><body>500</body></html>")
                              << QStringLiteral(
                                         "课程查询失败：服务暂时不可用（HTTP 500）：请稍后重试");
    QTest::newRow("portal page")
            << 200 << QByteArray("<html><body>login</body></html>")
            << QStringLiteral("课程查询失败：学校网络需要先登录：请打开浏览器完成网页登录后重试");
}

void tst_CurrentLesson::unreadableReplyEnablesButton()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(QString, tipText);

    server.script(lessonPath, ScriptedReply {status, reply});
    LoginWidget w;
    w.show();
    auto *tip = w.findChild<QLabel *>(QStringLiteral("error_tip"));
    tip->setText(QStringLiteral("earlier"));
    BoxObserver boxes(button(w), true);
    login(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 1);
    QTRY_COMPARE(server.requests(lessonPath).size(), 1);
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(boxes.shown, 0);
    QCOMPARE(tip->text(), tipText);
    QVERIFY(w.isVisible());
    QVERIFY(!AppContext::instance().selectWindow);
}

void tst_CurrentLesson::lessonRequestTimesOut()
{
    ScriptedReply never;
    never.neverAnswer = true;
    server.script(lessonPath, never);
    SimpleHttpPost::setTransferTimeout(300);

    LoginWidget w;
    w.show();
    BoxObserver boxes(button(w), true);
    login(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 1);
    QTRY_COMPARE(server.requests(lessonPath).size(), 1);
    QVERIFY(!button(w)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(button(w)->isEnabled(), 10000);
    QCOMPARE(boxes.shown, 0);
    // A failed request says so; it does not leave the teacher with a silent button.
    QCOMPARE(w.findChild<QLabel *>(QStringLiteral("error_tip"))->text(),
             QStringLiteral("课程查询失败：服务器 127.0.0.1 长时间没有响应：请检查网络后重试"));
    QVERIFY(!AppContext::instance().selectWindow);
}

void tst_CurrentLesson::retryAfterBoxRepeatsLogin()
{
    LoginWidget w;
    w.show();
    ModalSeen seen;
    TestSupport::closeNextModal(&seen);
    login(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 0);
    QTRY_VERIFY(seen.seen);
    QTRY_VERIFY(button(w)->isEnabled());

    TestSupport::closeNextModal(&seen);
    button(w)->click();
    QTRY_VERIFY(seen.seen);
    QTRY_VERIFY(button(w)->isEnabled());
    QCOMPARE(server.requests(loginPath).size(), 2);
    QCOMPARE(server.requests(lessonPath).size(), 2);
    const QList<RecordedRequest> all = server.requests();
    QCOMPARE(all.size(), 4);
    QCOMPARE(all.at(2).path, loginPath.toUtf8());
    QCOMPARE(all.at(3).path, lessonPath.toUtf8());
}

void tst_CurrentLesson::otherChannelFindsLesson()
{
    LoginWidget w;
    w.show();
    ModalSeen seen;
    TestSupport::closeNextModal(&seen);
    login(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 0);
    QTRY_VERIFY(seen.seen);
    QTRY_VERIFY(button(w)->isEnabled());
    QVERIFY(w.isVisible());

    login(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 1);
    QTRY_VERIFY(handedOver(w));
    QCOMPARE(AppContext::instance().channelId, 1);
    QCOMPARE(server.requests(lessonPath).last().body,
             QByteArray("{\"channelId\":1,\"teacherID\":\"T1001\"}"));
}

void tst_CurrentLesson::malformedReplies_data()
{
    MalformedBodies::addRows();
}

void tst_CurrentLesson::malformedReplies()
{
    QFETCH(QByteArray, body);

    server.script(lessonPath, ScriptedReply {200, body});
    LoginWidget w;
    w.show();
    BoxObserver boxes(button(w), true);
    login(w, QStringLiteral("teacher"), QStringLiteral("corvin123"), 1);
    QTRY_COMPARE(server.requests(lessonPath).size(), 1);
    // Either the window hands over, or it is idle again after at most one box.
    QTRY_VERIFY_WITH_TIMEOUT(handedOver(w) || button(w)->isEnabled(), 20000);
    QVERIFY(boxes.shown <= 1);
    if (handedOver(w)) {
        QCOMPARE(boxes.shown, 0);
        QVERIFY(!button(w)->isEnabled());
    } else {
        QVERIFY(w.isVisible());
        QVERIFY(!AppContext::instance().selectWindow);
    }
}

QTEST_MAIN(tst_CurrentLesson)
#include "tst_currentlesson.moc"
