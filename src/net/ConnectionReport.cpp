#include "ConnectionReport.h"

#include "net/RequestOutcome.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslSocket>
#include <QStringList>
#include <QTimer>
#include <QUrl>

namespace ConnectionReport {

namespace {

const int stepTimeoutMs = 10000;

QString certificateText(const QSslCertificate &certificate)
{
    return QStringLiteral("subject \"%1\", issuer \"%2\", names \"%3\", valid until %4")
            .arg(RequestOutcome::certificateName(certificate, false),
                 RequestOutcome::certificateName(certificate, true),
                 RequestOutcome::certificateNames(certificate).join(QStringLiteral(", ")),
                 certificate.expiryDate().toString(Qt::ISODate));
}

} // namespace

QString make(const QString &address, const QNetworkProxy &choice)
{
    QStringList lines;
    const QUrl url(address);
    lines.append(QStringLiteral("service address: %1").arg(url.toString(QUrl::RemoveUserInfo)));
    if (!url.isValid() || url.host().isEmpty()) {
        lines.append(QStringLiteral("no usable service address: nothing tried"));
        return lines.join(QLatin1Char('\n'));
    }
    const bool https = url.scheme() == QLatin1String("https");
    const quint16 port = quint16(url.port(https ? 443 : 80));

    const QHostInfo host = QHostInfo::fromName(url.host());
    QStringList resolved;
    for (const QHostAddress &each : host.addresses())
        resolved.append(each.toString());
    lines.append(
            QStringLiteral("host %1 resolves to: %2")
                    .arg(url.host(),
                         host.error() == QHostInfo::NoError
                                 ? resolved.join(QStringLiteral(", "))
                                 : QStringLiteral("(not resolved: %1)").arg(host.errorString())));

    QNetworkProxy proxy = choice;
    if (choice.type() == QNetworkProxy::DefaultProxy) {
        const QList<QNetworkProxy> proxies
                = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
        proxy = proxies.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : proxies.first();
        lines.append(
                QStringLiteral("proxy (the system's): %1").arg(RequestOutcome::proxyName(proxy)));
    } else {
        lines.append(QStringLiteral("proxy (set): %1").arg(RequestOutcome::proxyName(proxy)));
    }

    QSslSocket socket;
    socket.setProxy(proxy);
    QList<QSslError> errors;
    QObject::connect(&socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors),
                     [&errors](const QList<QSslError> &list) { errors = list; });
    socket.connectToHost(url.host(), port);
    if (!socket.waitForConnected(stepTimeoutMs)) {
        lines.append(QStringLiteral("TCP connection to %1:%2: failed (%3)")
                             .arg(url.host())
                             .arg(port)
                             .arg(socket.errorString()));
    } else {
        lines.append(QStringLiteral("TCP connection to %1:%2: made").arg(url.host()).arg(port));
        if (https) {
            socket.startClientEncryption();
            const bool encrypted = socket.waitForEncrypted(stepTimeoutMs);
            lines.append(QStringLiteral("TLS handshake: %1")
                                 .arg(encrypted ? QStringLiteral("made")
                                                : QStringLiteral("failed (%1)")
                                                          .arg(socket.errorString())));
            for (const QSslError &error : errors)
                lines.append(QStringLiteral("  TLS error: %1").arg(error.errorString()));
            const QList<QSslCertificate> chain = socket.peerCertificateChain();
            for (const QSslCertificate &certificate : chain)
                lines.append(QStringLiteral("  certificate: %1").arg(certificateText(certificate)));
        }
        socket.abort();
    }

    // No handler for a proxy's login: the GET reports it instead of answering it.
    QNetworkAccessManager manager;
    manager.setProxy(choice);
    QUrl root = url;
    root.setPath(QStringLiteral("/"));
    QNetworkReply *reply = manager.get(QNetworkRequest(root));
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(stepTimeoutMs);
    loop.exec();
    if (!reply->isFinished()) {
        reply->abort();
        lines.append(QStringLiteral("GET %1: no answer within %2 s")
                             .arg(root.toString(QUrl::RemoveUserInfo))
                             .arg(stepTimeoutMs / 1000));
    } else {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString wantsLogin = reply->error() == QNetworkReply::ProxyAuthenticationRequiredError
                ? QStringLiteral(", the proxy wants a login (not answered)")
                : QString();
        lines.append(QStringLiteral("GET %1: HTTP status %2%3 (%4)")
                             .arg(root.toString(QUrl::RemoveUserInfo))
                             .arg(status)
                             .arg(wantsLogin,
                                  reply->error() == QNetworkReply::NoError
                                          ? QStringLiteral("no error")
                                          : reply->errorString()));
    }
    delete reply;
    return lines.join(QLatin1Char('\n'));
}

} // namespace ConnectionReport
