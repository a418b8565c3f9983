#include "SimpleHttpPost.h"

#include "LogMask.h"
#include "ProxyLogin.h"

#include <QAuthenticator>
#include <QDebug>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
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

// The proxy a request to url takes, as the log names it: never with its credentials.
QString proxyFor(const QNetworkProxy &chosen, const QUrl &url)
{
    const QList<QNetworkProxy> proxies = chosen.type() != QNetworkProxy::DefaultProxy
            ? QList<QNetworkProxy> {chosen}
            : QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy &proxy : proxies) {
        if (proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::Socks5Proxy)
            return RequestOutcome::proxyName(proxy);
        if (proxy.type() == QNetworkProxy::NoProxy)
            break;
    }
    return QStringLiteral("direct");
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

void SimpleHttpPost::setProxy(const QNetworkProxy &proxy)
{
    manager->setProxy(proxy);
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

    // Schools set their proxy (manual, PAC or WPAD) for the whole system; follow it whatever this
    // Qt build's default.
    static const bool systemProxies = [] {
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        return true;
    }();
    Q_UNUSED(systemProxies)

    const QUrl target(url, QUrl::TolerantMode);
    QNetworkRequest request(target);
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        request.setRawHeader(it.key().toLatin1(), it.value().toLatin1());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = manager->post(request, body.toUtf8());
    if (!reply) {
        qDebug() << "reply is nullptr";
        return;
    }
    proxyUsed = proxyFor(manager->proxy(), target);
    // Our own timer rather than Qt's transfer time-out, which ends a reply as a cancel does: the
    // teacher must be told "no answer", not "cancelled".
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, reply, [this, reply] {
        timedOut = true;
        reply->abort();
    });
    connect(reply, &QNetworkReply::downloadProgress, timer, [timer] { timer->start(); });
    connect(reply, &QNetworkReply::uploadProgress, timer, [timer] { timer->start(); });
    timer->start(transferTimeout());
    connect(reply, &QNetworkReply::sslErrors, this,
            [this](const QList<QSslError> &errors) { sslErrors += errors; });
    connect(manager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &SimpleHttpPost::answerProxy);
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

    result = RequestOutcome::fromReply(reply, bytes, timedOut, sslErrors, proxyUsed);
    if (result.failed())
        qDebug().noquote() << "[SimpleHttpPost][failure]" << result.logText();

    emit onResponse(text);

    reply->deleteLater();
    deleteLater();
}

void SimpleHttpPost::answerProxy(const QNetworkProxy &proxy, QAuthenticator *authenticator)
{
    ProxyLogin::answer(proxy, authenticator, proxyAsks++ > 0, &proxyPrompted);
}
