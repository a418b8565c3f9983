#ifndef SIMPLEHTTPPOST_H
#define SIMPLEHTTPPOST_H

#include <QMap>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// One POST of a JSON body to the service; the reply body comes back through onResponse.
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

    // Time without any transfer progress after which a request is given up (milliseconds).
    static int transferTimeout();
    static void setTransferTimeout(int msecs);
    static constexpr int defaultTransferTimeout = 30000;

signals:
    void onResponse(QString &var);

protected slots:
    void downloadFinished(QNetworkReply *reply);

private:
    QString url;
    QString body;
    QNetworkAccessManager *manager;
};

#endif // SIMPLEHTTPPOST_H
