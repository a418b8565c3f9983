#include "SimpleHttpPost.h"

#include "LogMask.h"

#include <QDebug>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <atomic>

namespace {

std::atomic<int> s_transferTimeout {SimpleHttpPost::defaultTransferTimeout};

// "QNetworkReply::NetworkError(ConnectionRefusedError)", the same text on every Qt version.
QByteArray errorText(QNetworkReply::NetworkError code)
{
    const QMetaEnum meta = QMetaEnum::fromType<QNetworkReply::NetworkError>();
    const char *key = meta.valueToKey(code);
    return QByteArray(meta.scope()) + "::" + meta.name() + '('
            + (key ? QByteArray(key) : QByteArray::number(int(code))) + ')';
}

} // namespace

SimpleHttpPost::SimpleHttpPost(QObject *parent)
    : QObject(parent), manager(new QNetworkAccessManager(nullptr))
{ }

SimpleHttpPost::~SimpleHttpPost()
{
    manager->deleteLater();
}

int SimpleHttpPost::transferTimeout()
{
    return s_transferTimeout;
}

void SimpleHttpPost::setTransferTimeout(int msecs)
{
    s_transferTimeout = msecs;
}

void SimpleHttpPost::setUrl(QString url)
{
    this->url = url;
}

void SimpleHttpPost::setBody(QString body)
{
    qDebug() << LogMask::forLog(body);
    this->body = body;
}

void SimpleHttpPost::query(QMap<QString, QString> &headers)
{
    qDebug() << url;
    qDebug() << LogMask::forLog(body);

    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        request.setRawHeader(it.key().toLatin1(), it.value().toLatin1());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    request.setTransferTimeout(transferTimeout());
#endif

    QNetworkReply *reply = manager->post(request, body.toUtf8());
    if (!reply) {
        qDebug() << "reply is nullptr";
        return;
    }
#if QT_VERSION < QT_VERSION_CHECK(5, 15, 0)
    // Older Qt has no transfer time-out of its own; abort ends the reply the same way.
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, &QNetworkReply::abort);
    connect(reply, &QNetworkReply::downloadProgress, timer, [timer] { timer->start(); });
    connect(reply, &QNetworkReply::uploadProgress, timer, [timer] { timer->start(); });
    timer->start(transferTimeout());
#endif
    connect(manager, &QNetworkAccessManager::finished, this, &SimpleHttpPost::downloadFinished);
}

void SimpleHttpPost::downloadFinished(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError)
        qDebug() << "[SimpleHttpPost][downloadFinished]" << errorText(reply->error()).constData()
                 << reply->errorString();

    const QByteArray bytes = reply->readAll();
    // A NUL byte ends the text, as it would for a C string.
    QString text = QString::fromUtf8(bytes.constData(),
                                     int(qstrnlen(bytes.constData(), uint(bytes.size()))));
    qDebug() << "[SimpleHttpPost][downloadFinished]" << LogMask::forLog(text);

    emit onResponse(text);

    reply->deleteLater();
    deleteLater();
}
