// corvin-pictures <out>: drives the real windows through their states against the in-process
// stand-in service and the demo data, and saves each state as <out>/<state>.png, with the list of
// the window's visible controls beside it as <out>/<state>.controls.
#include "app/AboutDialog.h"
#include "app/DisplayScaling.h"
#include "app/FormFont.h"
#include "config/AppContext.h"
#include "courseware/CoursewareSelect.h"
#include "login/LoginWidget.h"
#include "net/SimpleHttpPost.h"
#include "prepare/PrepareCourse.h"
#include "util/ProcessProbe.h"

#include "StandInServer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

QString outFolder;
int failures = 0;

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    // The windows log every step; only what goes wrong belongs on this program's output.
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

bool waitFor(const char *what, const std::function<bool()> &done, int ms = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) {
            std::fprintf(stderr, "corvin-pictures: gave up waiting for %s\n", what);
            ++failures;
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// A line of a list wider than the list is cut off or hidden behind a scroll bar.
void checkListLines(QWidget *widget, const char *name)
{
    for (const QListWidget *list : widget->findChildren<QListWidget *>()) {
        for (int i = 0; list->isVisible() && i < list->count(); ++i) {
            const QString text = list->item(i)->text();
            const int needed = list->visualItemRect(list->item(i)).left()
                    + list->fontMetrics().horizontalAdvance(text);
            if (needed > list->viewport()->width()) {
                std::fprintf(stderr, "corvin-pictures: %s: \"%s\" needs %d px, %s has %d\n", name,
                             text.toUtf8().constData(), needed, qPrintable(list->objectName()),
                             list->viewport()->width());
                ++failures;
            }
        }
    }
}

void settle()
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 150)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

// A text larger than the room its widget gives it shows cut off: a label's contents, a button's
// room beside its indicator or inside its frame.
void checkFits(const QWidget *widget, const QString &text, const QRect &room, const char *name)
{
    const QFontMetrics metrics = widget->fontMetrics();
    const QSize needed(metrics.horizontalAdvance(text), metrics.height());
    if (needed.width() > room.width() || needed.height() > room.height()) {
        std::fprintf(stderr, "corvin-pictures: %s: \"%s\" needs %dx%d px, %s has %dx%d\n", name,
                     text.toUtf8().constData(), needed.width(), needed.height(),
                     qPrintable(widget->objectName()), room.width(), room.height());
        ++failures;
    }
}

void checkTexts(QWidget *window, const char *name)
{
    const QList<QLabel *> labels = window->findChildren<QLabel *>();
    for (const QLabel *label : labels) {
        if (!label->isVisible() || label->text().isEmpty())
            continue;
        if (!label->wordWrap()) {
            checkFits(label, label->text(), label->contentsRect(), name);
            continue;
        }
        // A wrapped text must fit in the label's height.
        const QRect room = label->contentsRect();
        const QRect needed = label->fontMetrics().boundingRect(QRect(0, 0, room.width(), 10000),
                                                               Qt::TextWordWrap, label->text());
        if (needed.height() > room.height()) {
            std::fprintf(stderr, "corvin-pictures: %s: \"%s\" needs %d px high, %s has %d\n", name,
                         label->text().toUtf8().constData(), needed.height(),
                         qPrintable(label->objectName()), room.height());
            ++failures;
        }
    }
    const QList<QAbstractButton *> buttons = window->findChildren<QAbstractButton *>();
    for (const QAbstractButton *button : buttons) {
        QStyle::SubElement contents;
        if (qobject_cast<const QRadioButton *>(button))
            contents = QStyle::SE_RadioButtonContents;
        else if (qobject_cast<const QCheckBox *>(button))
            contents = QStyle::SE_CheckBoxContents;
        else if (qobject_cast<const QPushButton *>(button))
            contents = QStyle::SE_PushButtonContents;
        else
            continue;
        if (!button->isVisible() || button->text().isEmpty())
            continue;
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect room = button->style()->subElementRect(contents, &option, button);
        checkFits(button, QString(button->text()).remove(QLatin1Char('&')), room, name);
    }
}

// What a picture of the window shows, a line per visible control: kind, name and a button's
// text. The picture test compares the list kept beside a published picture with the window as it
// is now, so a picture made before a control came or went fails.
QByteArray visibleControls(QWidget *window)
{
    QByteArray list;
    const QList<QWidget *> widgets = window->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        if (!widget->isVisible())
            continue;
        QString line;
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            line = QStringLiteral("button %1 %2")
                           .arg(button->objectName(), QString(button->text()).remove('&'));
        else if (qobject_cast<QLineEdit *>(widget))
            line = QStringLiteral("field ") + widget->objectName();
        else if (qobject_cast<QComboBox *>(widget))
            line = QStringLiteral("choice ") + widget->objectName();
        else if (qobject_cast<QListWidget *>(widget))
            line = QStringLiteral("list ") + widget->objectName();
        else if (qobject_cast<QLabel *>(widget))
            line = QStringLiteral("label ") + widget->objectName();
        else
            continue;
        list += line.toUtf8() + '\n';
    }
    return list;
}

void save(QWidget *widget, const char *name)
{
    checkTexts(widget, name);
    const QString path = QStringLiteral("%1/%2.png").arg(outFolder, QLatin1String(name));
    QFile controls(QStringLiteral("%1/%2.controls").arg(outFolder, QLatin1String(name)));
    if (!widget->grab().save(path) || !controls.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || controls.write(visibleControls(widget)) < 0) {
        std::fprintf(stderr, "corvin-pictures: cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", path.toUtf8().constData());
    checkListLines(widget, name);
}

template<typename T>
T *child(QWidget *w, const char *name)
{
    return w->findChild<T *>(QLatin1String(name));
}

QString labelText(QWidget *w)
{
    return child<QLabel>(w, "label")->text();
}

// Clicks button and saves the modal box it opens if it shows text, then closes the box with
// answer. The box runs its own event loop, so it is looked for from a timer inside that loop.
// Any other box is cancelled: an Ok in the confirmation box would start a client and end this
// program.
bool pressInBox(QPushButton *button, const char *name, const QString &text,
                QMessageBox::StandardButton answer)
{
    bool seen = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&poll, &seen, name, text, answer] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll.stop();
        if (box->text() != text) {
            std::fprintf(stderr, "corvin-pictures: unexpected box \"%s\"\n",
                         box->text().toUtf8().constData());
            QAbstractButton *cancel = box->button(QMessageBox::Cancel);
            if (cancel)
                cancel->click();
            else
                box->reject();
            return;
        }
        box->adjustSize();
        save(box, name);
        seen = true;
        box->button(answer)->click();
    });
    poll.start();
    button->click();
    return seen;
}

// The box for a student client that is still running: a process of the client's name is
// started for it (a copy of a program that only sleeps), so the probe finds it the way it finds
// the real client.
void runningBoxPicture(PrepareCourse *prepare)
{
    QTemporaryDir folder;
    const QString fake = folder.path() + QStringLiteral("/Lectern.exe");
    QProcess client;
    if (folder.isValid() && QFile::copy(QStringLiteral(CORVIN_FAKE_CLIENT), fake)) {
        client.start(fake, {QStringLiteral("60")});
        client.waitForStarted(10000);
    }
    if (client.state() != QProcess::Running || !waitFor("the running client", [] {
            return ProcessProbe::isRunning(QStringLiteral("Lectern.exe"));
        })) {
        std::fprintf(stderr, "corvin-pictures: no running client to show\n");
        ++failures;
    } else if (!pressInBox(child<QPushButton>(prepare, "pushButton"), "start-running",
                           QStringLiteral(" 请手动关闭学生端"), QMessageBox::Ok)) {
        std::fprintf(stderr, "corvin-pictures: no box for the running client\n");
        ++failures;
    }
    client.kill();
    client.waitForFinished(10000);
}

PrepareCourse *newestPrepareWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *prepare = qobject_cast<PrepareCourse *>(widget);
        if (prepare && prepare->isVisible())
            return prepare;
    }
    return nullptr;
}

void loginPictures(StandInServer &server)
{
    const QString listPath = QStringLiteral("/platform/room/findDLCoursewareInfo");
    LoginWidget login;
    login.show();
    child<QLineEdit>(&login, "lineEdit")->setText(QStringLiteral("teacher"));
    child<QLineEdit>(&login, "lineEdit_2")->setText(QStringLiteral("corvin123"));
    child<QRadioButton>(&login, "radioButton_atrium")->setChecked(true);
    settle();
    save(&login, "login");

    child<QLineEdit>(&login, "lineEdit_2")->setText(QStringLiteral("wrong"));
    child<QPushButton>(&login, "pushButton")->click();
    waitFor("the refused login", [&login] {
        return child<QLabel>(&login, "error_tip")->text() == QStringLiteral("用户名或密码错误!");
    });
    settle();
    save(&login, "login-error");

    // The About box, as F1 opens it over the login window.
    AboutDialog about(&login);
    about.show();
    settle();
    save(&about, "about");
    about.close();

    // A slow empty list shows the waiting state first, then the empty one.
    ScriptedReply slowEmpty;
    slowEmpty.body = "{\"coursewareList\":[]}";
    slowEmpty.delayMs = 1500;
    server.script(listPath, slowEmpty);
    child<QLineEdit>(&login, "lineEdit_2")->setText(QStringLiteral("corvin123"));
    child<QPushButton>(&login, "pushButton")->click();
    AppContext &context = AppContext::instance();
    if (!waitFor("the selection window",
                 [&context] { return context.selectWindow && context.selectWindow->isVisible(); }))
        return;
    CoursewareSelect *select = context.selectWindow;
    settle();
    save(select, "select-waiting");
    waitFor("the empty list", [select] {
        return child<QComboBox>(select, "comboBox")->itemText(0) == QStringLiteral("无");
    });
    settle();
    save(select, "select-empty");
    delete select;
    context.selectWindow = nullptr;

    ScriptedReply failed;
    failed.status = 500;
    server.script(listPath, failed);
    CoursewareSelect failedSelect;
    failedSelect.showNormal();
    waitFor("the failed list", [&failedSelect] {
        return !child<QLabel>(&failedSelect, "error_tip")->text().isEmpty();
    });
    settle();
    save(&failedSelect, "select-failed");
    server.clearScripts();
    context.selectWindow = nullptr;
}

bool writeConfig(const QString &host)
{
    // config.ini beside this program: its folder is its own, so the demo's file is not touched.
    QFile config(QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini"));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || config.write("[Server]\nCorvinHost=" + host.toUtf8()
                        + "\nMD5=1\ndevID=DEMO-DEVICE-0001\n")
                <= 0) {
        std::fprintf(stderr, "corvin-pictures: cannot write %s\n", qPrintable(config.fileName()));
        return false;
    }
    config.close();
    AppContext::instance().reloadSettings();
    return true;
}

// The login window as a school's network may leave it: a captive portal's page, a gateway
// whose service is down, a name that does not resolve.
void networkPictures(StandInServer &server)
{
    const QString loginPath = QStringLiteral("/clb/action/login");
    const QByteArray page("<html><body><h1>School Wi-Fi</h1><form></form></body></html>");
    const struct
    {
        const char *name;
        ScriptedReply reply;
        QString host;
    } causes[] = {{"network-portal", ScriptedReply {200, page, "text/html"}, server.baseUrl()},
                  {"network-gateway", ScriptedReply {502, page, "text/html"}, server.baseUrl()},
                  {"network-unknown-name", ScriptedReply(),
                   QStringLiteral("http://corvin-service.invalid")}};
    for (const auto &cause : causes) {
        server.script(loginPath, cause.reply);
        if (!writeConfig(cause.host))
            continue;
        LoginWidget login;
        login.show();
        child<QLineEdit>(&login, "lineEdit")->setText(QStringLiteral("teacher"));
        child<QLineEdit>(&login, "lineEdit_2")->setText(QStringLiteral("corvin123"));
        child<QRadioButton>(&login, "radioButton_atrium")->setChecked(true);
        auto *button = child<QPushButton>(&login, "pushButton");
        button->click();
        waitFor(cause.name, [button] { return button->isEnabled(); });
        settle();
        save(&login, cause.name);
    }
    server.clearScripts();
    writeConfig(server.baseUrl());
}

void flowPictures(const QString &download)
{
    AppContext &context = AppContext::instance();
    // Made like the login window makes it; it stays for the whole flow.
    auto *select = new CoursewareSelect(nullptr);
    select->showNormal();
    auto *start = child<QPushButton>(select, "pushButton");
    if (!waitFor(
                "the checked courseware", [start] { return start->isEnabled(); }, 60000))
        return;
    settle();
    save(select, "select");

    start->click();
    PrepareCourse *prepare = newestPrepareWindow();
    if (!prepare) {
        std::fprintf(stderr, "corvin-pictures: no preparation window\n");
        ++failures;
        return;
    }
    // Before the first tick the window shows the form's own state.
    save(prepare, "prepare-preparing");
    waitFor("the ready state",
            [prepare] { return labelText(prepare) == QStringLiteral("Corvin准备完成"); });
    settle();
    save(prepare, "prepare-ready");

    // The confirmation box, answered with Cancel: nothing is started.
    if (!pressInBox(child<QPushButton>(prepare, "pushButton"), "start-confirm",
                    QStringLiteral(" 学生端即将启动"), QMessageBox::Cancel)) {
        std::fprintf(stderr, "corvin-pictures: no confirmation box\n");
        ++failures;
    }
    runningBoxPicture(prepare);

    // A file missing from the download folder makes the next preparation fail.
    const QString chosen = child<QComboBox>(select, "comboBox")->currentText();
    QDir releases(download);
    const QStringList ids = releases.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    bool removed = false;
    for (const QString &id : ids) {
        QDir folder(download + QLatin1Char('/') + id);
        for (const QString &release : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString cover = folder.filePath(release + QStringLiteral("/cover.png"));
            if (chosen.endsWith(QLatin1Char('_') + release) && QFile::exists(cover))
                removed = QFile::remove(cover) || removed;
        }
    }
    if (!removed) {
        std::fprintf(stderr, "corvin-pictures: found no file to take away\n");
        ++failures;
        return;
    }
    prepare->hide();
    select->showNormal();
    start->click();
    PrepareCourse *failing = newestPrepareWindow();
    if (failing) {
        waitFor("the failed state", [failing] {
            return child<QPushButton>(failing, "pushButton")->text() == QStringLiteral("重试");
        });
        settle();
        save(failing, "prepare-failed");
        // Back in the selection window, a re-check finds the file missing.
        child<QPushButton>(failing, "pushButton")->click();
        auto *recheck = child<QPushButton>(select, "recheckButton");
        recheck->click();
        if (waitFor("the re-check", [select, recheck] {
                return recheck->isEnabled()
                        && child<QListWidget>(select, "failureList")->count() > 1;
            })) {
            settle();
            save(select, "select-rechecked");
        }
    }

    QThreadPool::globalInstance()->waitForDone();
    settle();
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<PrepareCourse *>(widget))
            delete widget;
    }
    delete select;
    context.selectWindow = nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    DisplayScaling::enable();
    QApplication app(argc, argv);
    FormFont::apply(app);
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvin-pictures <output folder>\n");
        return 2;
    }
    outFolder = QDir(app.arguments().at(1)).absolutePath();
    if (!QDir().mkpath(outFolder)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(outFolder));
        return 1;
    }
    qInstallMessageHandler(quietHandler);

    QTemporaryDir demo;
    QProcess setup;
    setup.start(QCoreApplication::applicationDirPath()
                        + QStringLiteral("/../bin/corvin-demo-setup"),
                {demo.path()});
    if (!demo.isValid() || !setup.waitForFinished(60000) || setup.exitCode() != 0) {
        std::fprintf(stderr, "corvin-pictures: the demo data could not be made\n");
        return 1;
    }
    QJsonObject scenario;
    QString error;
    if (!StandInServer::loadScenario(demo.path() + QStringLiteral("/scenario.json"), &scenario,
                                     &error)) {
        std::fprintf(stderr, "corvin-pictures: %s\n", qPrintable(error));
        return 1;
    }
    StandInServer server(scenario);
    if (!server.start()) {
        std::fprintf(stderr, "corvin-pictures: the stand-in service did not start\n");
        return 1;
    }

    if (!writeConfig(server.baseUrl()))
        return 1;
    qputenv("APPDATA", QFile::encodeName(demo.path() + QStringLiteral("/appdata")));

    loginPictures(server);
    networkPictures(server);
    flowPictures(demo.path() + QStringLiteral("/download"));
    server.stop();
    return failures == 0 ? 0 : 1;
}
