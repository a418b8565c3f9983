#include "RequestOutcome.h"

#include <QMetaEnum>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QUrl>

namespace {

using Cause = RequestOutcome::Cause;

bool isUntrustedIssuer(QSslError::SslError error)
{
    switch (error) {
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
        return true;
    default:
        return false;
    }
}

bool isProxyFault(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::ProxyConnectionRefusedError
            || error == QNetworkReply::ProxyConnectionClosedError
            || error == QNetworkReply::ProxyNotFoundError
            || error == QNetworkReply::ProxyTimeoutError
            || error == QNetworkReply::UnknownProxyError;
}

// The service answers with a JSON object or array; a page, a redirect's text or a proxy's
// message starts otherwise. Only the first character is looked at: a reply can be megabytes of
// resource list, which its receiver parses anyway.
template<typename Text>
bool looksLikeJson(const Text &text)
{
    for (const auto c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        return c == '{' || c == '[';
    }
    return false;
}

} // namespace

QString RequestOutcome::certificateName(const QSslCertificate &certificate, bool issuer)
{
    for (const auto attribute : {QSslCertificate::CommonName, QSslCertificate::Organization}) {
        const QStringList values
                = issuer ? certificate.issuerInfo(attribute) : certificate.subjectInfo(attribute);
        if (!values.isEmpty())
            return values.join(QLatin1Char(' '));
    }
    return issuer ? certificate.issuerDisplayName() : certificate.subjectDisplayName();
}

QStringList RequestOutcome::certificateNames(const QSslCertificate &certificate)
{
    QStringList names;
    const auto alternatives = certificate.subjectAlternativeNames();
    for (auto it = alternatives.cbegin(); it != alternatives.cend(); ++it)
        names.append(it.value());
    if (names.isEmpty())
        names = certificate.subjectInfo(QSslCertificate::CommonName);
    return names;
}

QString RequestOutcome::proxyName(const QNetworkProxy &proxy)
{
    if (proxy.type() == QNetworkProxy::NoProxy || proxy.type() == QNetworkProxy::DefaultProxy
        || proxy.hostName().isEmpty())
        return QStringLiteral("direct");
    return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
}

QString RequestOutcome::causeName(Cause cause)
{
    switch (cause) {
    case Cause::Answered:
        return QStringLiteral("Answered");
    case Cause::AddressMissing:
        return QStringLiteral("AddressMissing");
    case Cause::NameNotResolved:
        return QStringLiteral("NameNotResolved");
    case Cause::ConnectionRefused:
        return QStringLiteral("ConnectionRefused");
    case Cause::TimedOut:
        return QStringLiteral("TimedOut");
    case Cause::TlsFailure:
        return QStringLiteral("TlsFailure");
    case Cause::ProxyLoginRequired:
        return QStringLiteral("ProxyLoginRequired");
    case Cause::ProxyRefused:
        return QStringLiteral("ProxyRefused");
    case Cause::HttpError:
        return QStringLiteral("HttpError");
    case Cause::NotTheService:
        return QStringLiteral("NotTheService");
    case Cause::EmptyReply:
        return QStringLiteral("EmptyReply");
    case Cause::Cancelled:
        return QStringLiteral("Cancelled");
    case Cause::NetworkError:
        return QStringLiteral("NetworkError");
    }
    return QString();
}

QString RequestOutcome::message() const
{
    switch (cause) {
    case Cause::Answered:
        return QStringLiteral("服务的回复无法识别：请联系 IT");
    case Cause::AddressMissing:
        return QStringLiteral(
                "未设置有效的服务地址：请联系 IT 检查 config.ini 中的 Server/CorvinHost");
    case Cause::NameNotResolved:
        return QStringLiteral(
                       "找不到服务器 %1：请检查网线或 Wi-Fi；网络正常时请联系 IT 核对服务地址")
                .arg(host);
    case Cause::ConnectionRefused:
        return QStringLiteral("服务器 %1 拒绝连接：请稍后重试，或请 IT 核对服务地址").arg(host);
    case Cause::TimedOut:
        return QStringLiteral("服务器 %1 长时间没有响应：请检查网络后重试").arg(host);
    case Cause::TlsFailure:
        // A certificate for another name: something on the way answers in the service's place.
        if (tlsHostMismatch)
            return QStringLiteral("网络可能需要网页登录：请打开浏览器登录；若仍失败，请联系 IT");
        if (tlsUntrusted)
            return QStringLiteral("此电脑不信任 %1 的证书（颁发者：%2）：请联系 IT")
                    .arg(host, peerIssuer);
        return QStringLiteral("%1 的证书无效（%2）：请联系 IT")
                .arg(host, tlsErrors.isEmpty() ? errorString : tlsErrors.first());
    case Cause::ProxyLoginRequired:
        return QStringLiteral("代理服务器需要登录：请输入代理的用户名和密码，或联系 IT");
    case Cause::ProxyRefused:
        return QStringLiteral("无法通过代理服务器 %1 连网：请联系 IT 检查代理设置").arg(proxy);
    case Cause::HttpError:
        if (httpStatus >= 500)
            return QStringLiteral("服务暂时不可用（HTTP %1）：请稍后重试").arg(httpStatus);
        return QStringLiteral("服务拒绝了请求（HTTP %1）：请联系 IT 核对服务地址 %2")
                .arg(QString::number(httpStatus), host);
    case Cause::NotTheService:
        return QStringLiteral("学校网络需要先登录：请打开浏览器完成网页登录后重试");
    case Cause::EmptyReply:
        return QStringLiteral("服务没有返回内容：请稍后重试，仍不行请联系 IT");
    case Cause::Cancelled:
        return QStringLiteral("请求已取消：请重试");
    case Cause::NetworkError:
        return QStringLiteral("网络连接失败：请检查网线或 Wi-Fi 后重试");
    }
    return QString();
}

bool RequestOutcome::isShortPlainText(const QString &body)
{
    return !body.isEmpty() && body.size() <= 60 && !body.contains(QLatin1Char('\n'))
            && !body.contains(QLatin1Char('\r')) && !body.contains(QLatin1Char('<'))
            && !body.contains(QLatin1Char('>'));
}

bool RequestOutcome::tellsFailure(const QString &body) const
{
    return failed() && !(cause == Cause::NotTheService && isShortPlainText(body));
}

QString RequestOutcome::shownText(const QString &body) const
{
    return isShortPlainText(body) && !tellsFailure(body) ? body : message();
}

QString RequestOutcome::logText() const
{
    const QMetaEnum meta = QMetaEnum::fromType<QNetworkReply::NetworkError>();
    const char *key = meta.valueToKey(networkError);
    QString text = QStringLiteral("cause: %1 url: \"%2\" proxy: %3 status: %4 error: "
                                  "QNetworkReply::NetworkError(%5) \"%6\"")
                           .arg(causeName(cause), url, proxy, QString::number(httpStatus),
                                key ? QString::fromLatin1(key) : QString::number(networkError),
                                errorString);
    if (!contentType.isEmpty())
        text += QStringLiteral(" content-type: \"%1\"").arg(contentType);
    if (!tlsChain.isEmpty() || !tlsErrors.isEmpty())
        text += QStringLiteral(" certificates: \"%1\" names: \"%2\" tls errors: \"%3\"")
                        .arg(tlsChain.join(QStringLiteral("; ")),
                             peerNames.join(QStringLiteral(", ")),
                             tlsErrors.join(QStringLiteral("; ")));
    return text;
}

RequestOutcome RequestOutcome::fromReply(QNetworkReply *reply, const QByteArray &body,
                                         bool timedOut, const QList<QSslError> &sslErrors,
                                         const QString &proxy)
{
    RequestOutcome outcome;
    const QUrl url = reply->request().url();
    outcome.url = url.toString(QUrl::RemoveUserInfo);
    outcome.host = url.host();
    outcome.proxy = proxy;
    outcome.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    outcome.networkError = int(reply->error());
    outcome.errorString = reply->errorString();
    outcome.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toString();

    QList<QSslCertificate> chain;
    for (const QSslError &error : sslErrors) {
        outcome.tlsErrors.append(error.errorString());
        outcome.tlsHostMismatch |= error.error() == QSslError::HostNameMismatch;
        outcome.tlsUntrusted |= isUntrustedIssuer(error.error());
        if (chain.isEmpty() && !error.certificate().isNull())
            chain.append(error.certificate());
    }
    const QList<QSslCertificate> peerChain = reply->sslConfiguration().peerCertificateChain();
    if (!peerChain.isEmpty())
        chain = peerChain;
    for (const QSslCertificate &certificate : chain)
        outcome.tlsChain.append(QStringLiteral("subject %1, issuer %2")
                                        .arg(certificateName(certificate, false),
                                             certificateName(certificate, true)));
    if (!chain.isEmpty()) {
        outcome.peerSubject = certificateName(chain.first(), false);
        outcome.peerIssuer = certificateName(chain.first(), true);
        outcome.peerNames = certificateNames(chain.first());
    }

    const QNetworkReply::NetworkError error = reply->error();
    const int status = outcome.httpStatus;
    // Through a proxy the only connection this machine makes is the one to the proxy: a name
    // that does not resolve or a refused connection is the proxy's.
    const bool viaProxy = proxy != QLatin1String("direct");
    if (outcome.host.isEmpty() || error == QNetworkReply::ProtocolUnknownError)
        outcome.cause = Cause::AddressMissing;
    else if (viaProxy
             && (error == QNetworkReply::HostNotFoundError
                 || error == QNetworkReply::ConnectionRefusedError))
        outcome.cause = Cause::ProxyRefused;
    else if (error == QNetworkReply::HostNotFoundError)
        outcome.cause = Cause::NameNotResolved;
    else if (error == QNetworkReply::ConnectionRefusedError)
        outcome.cause = Cause::ConnectionRefused;
    else if (timedOut || error == QNetworkReply::TimeoutError)
        outcome.cause = Cause::TimedOut;
    else if (!sslErrors.isEmpty() || error == QNetworkReply::SslHandshakeFailedError)
        outcome.cause = Cause::TlsFailure;
    else if (error == QNetworkReply::ProxyAuthenticationRequiredError || status == 407)
        outcome.cause = Cause::ProxyLoginRequired;
    else if (isProxyFault(error))
        outcome.cause = Cause::ProxyRefused;
    else if (status >= 400)
        outcome.cause = Cause::HttpError;
    else if (status >= 300)
        outcome.cause = Cause::NotTheService;
    // A cancelled reply has no body: its emptiness says nothing about the service.
    else if (error == QNetworkReply::OperationCanceledError)
        outcome.cause = Cause::Cancelled;
    else if (error != QNetworkReply::NoError)
        outcome.cause = Cause::NetworkError;
    else if (body.isEmpty())
        outcome.cause = Cause::EmptyReply;
    else if (outcome.contentType.contains(QLatin1String("html"), Qt::CaseInsensitive)
             || !looksLikeJson(body))
        outcome.cause = Cause::NotTheService;
    return outcome;
}

RequestOutcome RequestOutcome::fromBody(const QString &body)
{
    RequestOutcome outcome;
    if (body.isEmpty())
        outcome.cause = Cause::EmptyReply;
    else if (!looksLikeJson(body))
        outcome.cause = Cause::NotTheService;
    return outcome;
}
