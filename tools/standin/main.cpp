#include "StandInServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
#ifndef Q_OS_WIN
    // Block the stop signals before any thread starts, so that only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
#endif

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Local stand-in for the platform's web service (127.0.0.1 only)."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("scenario"), QStringLiteral("Scenario file (JSON)."),
                      QStringLiteral("file")});
    parser.addOption({QStringLiteral("port"), QStringLiteral("Port; 0 picks a free one."),
                      QStringLiteral("port"), QStringLiteral("0")});
    parser.process(app);

    QJsonObject scenario;
    if (parser.isSet(QStringLiteral("scenario"))) {
        QString error;
        if (!StandInServer::loadScenario(parser.value(QStringLiteral("scenario")), &scenario,
                                         &error)) {
            std::fprintf(stderr, "cannot read scenario %s: %s\n",
                         qPrintable(parser.value(QStringLiteral("scenario"))), qPrintable(error));
            return 2;
        }
    }

    bool portOk = false;
    const int port = parser.value(QStringLiteral("port")).toInt(&portOk);
    if (!portOk || port < 0 || port > 65535) {
        std::fprintf(stderr, "invalid port %s\n", qPrintable(parser.value(QStringLiteral("port"))));
        return 2;
    }

    StandInServer server(scenario);
    if (!server.start(port)) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::printf("listening on %s\n", qPrintable(server.baseUrl()));
    std::fflush(stdout);

#ifdef Q_OS_WIN
    // Serves until the process is ended (Ctrl+C or TerminateProcess).
    return app.exec();
#else
    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    return 0;
#endif
}
