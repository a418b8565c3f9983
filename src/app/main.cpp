#include "app/DiagnosticsExport.h"
#include "app/DisplayScaling.h"
#include "app/FormFont.h"
#include "app/LogMessageHandler.h"
#include "app/SingleInstanceGuard.h"
#include "app/StopWorkOnQuit.h"
#include "config/AppContext.h"
#include "crash/CrashHandler.h"
#include "crash/MiniDumpCallback.h"
#include "login/LoginWidget.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>

#include <cstring>

int main(int argc, char *argv[])
{
    // For IT: the diagnostics package without a window, beside a running Corvin, changing no
    // file but the zip (no log of its own, no instance guard).
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--diagnostics") == 0) {
            QCoreApplication app(argc, argv);
            return DiagnosticsExport::runFromCommandLine(app.arguments());
        }
    }

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
    AppContext::instance().logSettings();

    // Installed after the log handler so that the callback's line lands in this run's log.
    // The folder is not created: without it a crash leaves no dump.
    QString dumpFolder = QDir::currentPath() + QStringLiteral("/") + QStringLiteral("dump/");
    // Stays installed until the process ends, on every path.
    CrashHandler::installForProcess(dumpFolder.toStdWString(), MiniDumpCallback, nullptr);

    LoginWidget loginWidget(nullptr);

    if (guard.isFirstInstance()) {
        loginWidget.show();
        return app.exec();
    }

    SingleInstanceGuard::showRefusal(&loginWidget);
    return -1;
}
