#include "app/DisplayScaling.h"
#include "app/FormFont.h"
#include "app/LogMessageHandler.h"
#include "app/SingleInstanceGuard.h"
#include "app/StopWorkOnQuit.h"
#include "crash/MiniDumpCallback.h"
#include "login/LoginWidget.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>

#if defined(Q_OS_WIN) && defined(CORVIN_WITH_BREAKPAD)
#include "client/windows/handler/exception_handler.h"
#elif defined(Q_OS_WIN)
#include "crash/WindowsCrashHandler.h"
#elif defined(Q_OS_LINUX)
#include "crash/CrashHandler.h"
#else
// No crash dumps on this platform.
struct NoCrashHandler
{ };
#endif

int main(int argc, char *argv[])
{
    const QString instanceKey = QStringLiteral("2E5488E6-539E-46BC-8C92-634119162D59");
    // Claimed before anything else; its answer is only looked at once the window exists.
    SingleInstanceGuard guard(instanceKey);

    DisplayScaling::enable();
    QApplication app(argc, argv);
    FormFont::apply(app);
    StopWorkOnQuit::install(app);
    runTimestamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    qInstallMessageHandler(logMessageHandler);
    qDebug() << "current currentPath: " << QDir::currentPath();

    // Installed after the log handler so that the callback's line lands in this run's log.
    // The folder is not created: without it a crash leaves no dump.
    QString dumpFolder = QDir::currentPath() + QStringLiteral("/") + QStringLiteral("dump/");
#if defined(Q_OS_WIN) && defined(CORVIN_WITH_BREAKPAD)
    google_breakpad::ExceptionHandler *crashHandler = new google_breakpad::ExceptionHandler(
            dumpFolder.toStdWString(), nullptr, MiniDumpCallback, nullptr,
            google_breakpad::ExceptionHandler::HANDLER_ALL, MiniDumpNormal, nullptr, nullptr);
#elif defined(Q_OS_WIN)
    WindowsCrashHandler *crashHandler
            = new WindowsCrashHandler(dumpFolder.toStdWString(), MiniDumpCallback, nullptr);
#elif defined(Q_OS_LINUX)
    CrashHandler *crashHandler
            = new CrashHandler(dumpFolder.toStdWString(), MiniDumpCallback, nullptr);
#else
    NoCrashHandler *crashHandler = nullptr;
#endif

    LoginWidget loginWidget(nullptr);

    if (guard.isFirstInstance()) {
        loginWidget.show();
        const int result = app.exec();
        delete crashHandler;
        crashHandler = nullptr;
        return result;
    }

    // The crash handler stays installed on this path until the process ends.
    SingleInstanceGuard::showRefusal(&loginWidget);
    return -1;
}
