#include "ServiceRequest.h"

#include "config/AppContext.h"
#include "config/ProxyChoice.h"

#include <QDebug>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMap>
#include <QUrl>

namespace {

// Once a run: a password sent by plain http to another machine can be read on the way.
void warnIfPlainHttp(const QString &base)
{
    static bool warned = false;
    const QUrl url(base);
    if (warned || url.scheme() != QLatin1String("http") || url.host().isEmpty())
        return;
    const QHostAddress address(url.host());
    if (url.host() == QLatin1String("localhost") || address.isLoopback())
        return;
    warned = true;
    qDebug() << "[ServiceRequest][send]"
             << "服务地址为 http, 密码不加密地经过网络, 请改用 https:"
             << url.toString(QUrl::RemoveUserInfo);
}

} // namespace

SimpleHttpPost *ServiceRequest::create()
{
    return new SimpleHttpPost(nullptr);
}

void ServiceRequest::send(SimpleHttpPost *request, const QString &path, const QJsonObject &body)
{
    // Read afresh for every request: plain concatenation, no separator handling.
    AppContext &context = AppContext::instance();
    const QString base = context.settingText(QStringLiteral("Server/CorvinHost"));
    warnIfPlainHttp(base);
    QNetworkProxy proxy;
    // An unusable setting was passed over where it was read: "system" stands then.
    if (ProxyChoice::parse(context.settingText(QStringLiteral("Network/Proxy")), &proxy))
        request->setProxy(proxy);
    request->setUrl(base + path);
    request->setBody(QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact)));
    QMap<QString, QString> headers;
    request->query(headers);
}

bool ServiceRequest::parseReply(const QString &body, QJsonObject *object)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *object = document.object();
    return true;
}

RequestOutcome ServiceRequest::outcomeOf(const QObject *sender, const QString &body)
{
    if (const auto *request = qobject_cast<const SimpleHttpPost *>(sender))
        return request->outcome();
    return RequestOutcome::fromBody(body);
}
