// Test helper: runs the real windows the way main does and drives them from inside, since
// the confirmed start of the student client ends the process.
//
//     flowdriver <ok|cancel|close-check|close-copy|keys> <channel 0|1> <display name>
//
// CORVIN_TEST_CA names a PEM file of certificates to trust besides the system's.
// Every message box is reported on stderr as "BOX<TAB>title<TAB>text" and answered with Ok
// (mode ok) or Cancel (mode cancel; Ok where there is no Cancel). Exit codes: 0 from the start
// of the student client, 10 when the start button's handling returned without ending the
// process, 20 when a step did not come within the time limit. The close modes close the window
// at work, as the teacher would: the selection window once the check has begun, the preparation
// window once the copy has; "CLOSED" on stderr says when, and the program ends by itself.
// Mode keys goes the whole way with the keyboard alone, as the teacher without a mouse does:
// Tab, typing, Space and Return where the focus is, F5 once for a second check, and Return in
// every box.

#include "app/LogMessageHandler.h"
#include "app/StopWorkOnQuit.h"
#include "config/AppContext.h"
#include "courseware/CoursewareSelect.h"
#include "login/LoginWidget.h"
#include "prepare/PrepareCourse.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// Set once the class-student reply has been handled (the preparation window logs it), once the
// check of a courseware and once the copy of a file has begun.
std::atomic<bool> seatReplyHandled {false};
std::atomic<bool> checkBegun {false};
std::atomic<bool> copyBegun {false};

void driverMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (context.function && std::strstr(context.function, "on_replaceClassStudent"))
        seatReplyHandled = true;
    if (msg.startsWith(QStringLiteral("校验课件开始:")))
        checkBegun = true;
    if (msg.startsWith(QLatin1String("copy File ++")))
        copyBegun = true;
    logMessageHandler(type, context, msg);
}

void report(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

template<typename T>
T *child(QWidget *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

PrepareCourse *preparationWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *prepare = qobject_cast<PrepareCourse *>(widget))
            return prepare;
    }
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    StopWorkOnQuit::install(app);
    // A CA of the test's own, trusted as a site would install its own.
    const QString ca = qEnvironmentVariable("CORVIN_TEST_CA");
    if (!ca.isEmpty()) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(configuration.caCertificates()
                                        + QSslCertificate::fromPath(ca));
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
    if (argc != 4) {
        report(QStringLiteral("usage: flowdriver <ok|cancel> <channel> <display name>"));
        return 2;
    }
    const bool confirm = qstrcmp(argv[1], "ok") == 0;
    const bool closeInCheck = qstrcmp(argv[1], "close-check") == 0;
    const bool closeInCopy = qstrcmp(argv[1], "close-copy") == 0;
    const bool keys = qstrcmp(argv[1], "keys") == 0;
    // Where the keyboard focus is, a key goes.
    const auto key = [](Qt::Key pressed) {
        QTest::keyClick(QApplication::focusWidget(), pressed);
    };
    // The arguments as Qt reads them: UTF-16 from Windows, not the code page of argv.
    const QString name = app.arguments().at(3);
    const int channel = app.arguments().at(2).toInt();

    runTimestamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    qInstallMessageHandler(driverMessageHandler);

    LoginWidget login(nullptr);
    login.show();

    // Answers every modal box as it appears.
    QTimer boxes;
    // A box waiting for its focus is seen on several ticks: it is reported once.
    QPointer<QMessageBox> reported;
    QObject::connect(&boxes, &QTimer::timeout, [confirm, keys, key, &reported] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (box != reported)
            report(QStringLiteral("BOX\t%1\t%2").arg(box->windowTitle(), box->text()));
        reported = box;
        if (keys) {
            // Only where the box has the focus: otherwise the watchdog ends the run.
            if (box->isAncestorOf(QApplication::focusWidget()))
                key(Qt::Key_Return);
            return;
        }
        QAbstractButton *cancel = box->button(QMessageBox::Cancel);
        QAbstractButton *press = !confirm && cancel ? cancel : box->button(QMessageBox::Ok);
        if (press)
            press->click();
        else
            box->close();
    });
    boxes.start(20);

    QTimer watchdog;
    watchdog.setSingleShot(true);
    int step = 0;
    bool rechecked = false;
    QObject::connect(&watchdog, &QTimer::timeout, [&step] {
        report(QStringLiteral("TIMEOUT at step %1").arg(step));
        QCoreApplication::exit(20);
    });
    watchdog.start(60000);

    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        switch (step) {
        case 0: {
            if (keys) {
                auto *user = child<QLineEdit>(&login, "lineEdit");
                if (QApplication::focusWidget() != user)
                    return;
                QTest::keyClicks(user, QStringLiteral("teacher"));
                key(Qt::Key_Tab);
                QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("corvin123"));
                // On past the login button to the first channel; the arrow to the second.
                key(Qt::Key_Tab);
                key(Qt::Key_Tab);
                if (channel == 1)
                    key(Qt::Key_Right);
                key(Qt::Key_Space);
                key(Qt::Key_Return);
                report(QStringLiteral("STEP login"));
                step = 1;
                break;
            }
            child<QLineEdit>(&login, "lineEdit")->setText(QStringLiteral("teacher"));
            child<QLineEdit>(&login, "lineEdit_2")->setText(QStringLiteral("corvin123"));
            child<QRadioButton>(&login,
                                channel == 0 ? "radioButton_atrium" : "radioButton_brightHall")
                    ->setChecked(true);
            QTest::mouseClick(child<QPushButton>(&login, "pushButton"), Qt::LeftButton);
            report(QStringLiteral("STEP login"));
            step = 1;
            break;
        }
        case 1: {
            CoursewareSelect *select = AppContext::instance().selectWindow;
            if (!select || !select->isVisible())
                return;
            if (closeInCheck) {
                if (!checkBegun)
                    return;
                report(QStringLiteral("CLOSED"));
                select->close();
                step = 5;
                return;
            }
            auto *combo = child<QComboBox>(select, "comboBox");
            auto *start = child<QPushButton>(select, "pushButton");
            const int index = combo->findText(name);
            if (index < 0 || !start->isEnabled())
                return;
            if (keys) {
                if (QApplication::focusWidget() != combo)
                    return;
                if (!rechecked) {
                    rechecked = true;
                    key(Qt::Key_F5);
                    return;
                }
                for (int down = combo->currentIndex(); down < index; ++down)
                    key(Qt::Key_Down);
                key(Qt::Key_Tab);
                key(Qt::Key_Space);
            } else {
                combo->setCurrentIndex(index);
                QTest::mouseClick(start, Qt::LeftButton);
            }
            report(QStringLiteral("STEP chosen %1").arg(name));
            step = 2;
            break;
        }
        case 2: {
            PrepareCourse *prepare = preparationWindow();
            if (!prepare)
                return;
            if (closeInCopy) {
                if (!copyBegun)
                    return;
                report(QStringLiteral("CLOSED"));
                prepare->close();
                step = 5;
                return;
            }
            const QString text = child<QLabel>(prepare, "label")->text();
            if (text.contains(QStringLiteral("失败"))) {
                report(QStringLiteral("FAILED preparation"));
                QCoreApplication::exit(30);
                return;
            }
            auto *start = child<QPushButton>(prepare, "pushButton");
            if (text != QStringLiteral("Corvin准备完成")
                || (keys && QApplication::focusWidget() != start))
                return;
            report(QStringLiteral("STEP ready"));
            step = 3;
            // Ends the process on a confirmed, successful start.
            if (keys)
                key(Qt::Key_Space);
            else
                QTest::mouseClick(start, Qt::LeftButton);
            report(QStringLiteral("STEP returned"));
            step = 4;
            break;
        }
        case 4:
            // The program would go on running; its class-student request must not be cut off
            // by this driver's own end.
            if (seatReplyHandled)
                QCoreApplication::exit(10);
            break;
        default:
            break;
        }
    });
    driver.start(20);

    return app.exec();
}
