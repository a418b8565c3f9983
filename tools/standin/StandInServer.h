#ifndef STANDINSERVER_H
#define STANDINSERVER_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

#include <memory>

// One request as the stand-in service received it.
struct RecordedRequest
{
    QByteArray method;
    QByteArray path;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // First value of a header, name compared ignoring case; empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

// A reply that replaces the scenario's answer for one path.
struct ScriptedReply
{
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    int delayMs = 0;
    bool neverAnswer = false; // hold the connection open until the server stops
};

// Local stand-in for the platform's web service: answers the five operations from a scenario,
// listens on 127.0.0.1 only, records every request and lets a test script any reply.
class StandInServer
{
public:
    explicit StandInServer(const QJsonObject &scenario = QJsonObject());
    ~StandInServer();

    // Serves HTTPS with this certificate chain and private key (PEM files) instead of HTTP; call
    // before start(). False where the stand-in is built without TLS (the Windows build here).
    bool useTls(const QString &certificateChain, const QString &privateKey);
    static bool tlsAvailable();

    // Binds 127.0.0.1:port (0 picks a free port) and serves on a thread of its own.
    bool start(int port = 0);
    void stop();
    int port() const;
    QString baseUrl() const;

    void setScenario(const QJsonObject &scenario);
    static bool loadScenario(const QString &fileName, QJsonObject *scenario, QString *error);

    void script(const QString &path, const ScriptedReply &reply);
    void clearScripts();

    QList<RecordedRequest> requests() const;
    QList<RecordedRequest> requests(const QString &path) const;
    void clearRequests();

private:
    void routeAll();

    struct Private;
    std::unique_ptr<Private> d;
};

#endif // STANDINSERVER_H
