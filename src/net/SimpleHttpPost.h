#ifndef SIMPLEHTTPPOST_H
#define SIMPLEHTTPPOST_H

#include "RequestOutcome.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QSslError>
#include <QString>

class QAuthenticator;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkReply;

// One POST of a JSON body to the service; the reply body comes back through onResponse, and
// what became of the request through outcome(), which is set before onResponse is emitted.
// The object releases itself (deleteLater) once the reply is delivered, so create it with new.
class SimpleHttpPost : public QObject
{
    Q_OBJECT

public:
    explicit SimpleHttpPost(QObject *parent);
    ~SimpleHttpPost() override;

    void setUrl(QString url);
    void setBody(QString body);
    void query(QMap<QString, QString> &headers);
    // The way to the service: the system's proxy unless set otherwise.
    void setProxy(const QNetworkProxy &proxy);

    // Time without any transfer progress after which a request is given up (milliseconds).
    static int transferTimeout();
    static void setTransferTimeout(int msecs);
    static constexpr int defaultTransferTimeout = 30000;

    const RequestOutcome &outcome() const { return result; }

signals:
    void onResponse(QString &var);

protected slots:
    void downloadFinished(QNetworkReply *reply);

private:
    void answerProxy(const QNetworkProxy &proxy, QAuthenticator *authenticator);

    QString url;
    QString body;
    QNetworkAccessManager *manager;
    QString proxyUsed;
    bool timedOut = false;
    int proxyAsks = 0;
    bool proxyPrompted = false;
    QList<QSslError> sslErrors;
    RequestOutcome result;
};

#endif // SIMPLEHTTPPOST_H
