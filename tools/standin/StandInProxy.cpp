#include "StandInProxy.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QUrl>

namespace {

const char bufferProperty[] = "corvinHead";

QByteArray headerValue(const QList<QByteArray> &lines, const QByteArray &name)
{
    for (const QByteArray &line : lines) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

} // namespace

StandInProxy::StandInProxy(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &StandInProxy::accept);
}

bool StandInProxy::start(quint16 port)
{
    if (!server.listen(QHostAddress::LocalHost, port))
        return false;
    listenPort = server.serverPort();
    return true;
}

void StandInProxy::requireLogin(const QString &user, const QString &password)
{
    expectedAuthorization = user.isEmpty()
            ? QByteArray()
            : "Basic " + QString(user + QLatin1Char(':') + password).toUtf8().toBase64();
}

void StandInProxy::setPortalTls(const QString &address, quint16 port)
{
    portalAddress = address;
    portalPort = port;
}

QByteArray StandInProxy::page(const QByteArray &title)
{
    return "<!DOCTYPE html><html><head><title>" + title + "</title></head><body><h1>" + title
            + "</h1><form action=\"/login\"><input name=\"user\"></form></body></html>";
}

void StandInProxy::accept()
{
    while (QTcpSocket *client = server.nextPendingConnection()) {
        connect(client, &QTcpSocket::readyRead, this, [this, client] { readHead(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

void StandInProxy::readHead(QTcpSocket *client)
{
    QByteArray buffer = client->property(bufferProperty).toByteArray() + client->readAll();
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        client->setProperty(bufferProperty, buffer);
        return;
    }
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QByteArray requestLine = lines.first().trimmed();
    const int length = headerValue(lines, "content-length").toInt();
    if (buffer.size() < end + 4 + length) {
        client->setProperty(bufferProperty, buffer);
        return;
    }
    // The next request on this connection starts after this one's body.
    client->setProperty(bufferProperty, buffer.mid(end + 4 + length));
    const QByteArray authorization = headerValue(lines, "proxy-authorization");
    requests.append(Seen {requestLine, authorization});

    const QList<QByteArray> parts = requestLine.split(' ');
    const QByteArray method = parts.value(0);
    const QByteArray target = parts.value(1);
    if (!expectedAuthorization.isEmpty() && authorization != expectedAuthorization) {
        answer(client, "407 Proxy Authentication Required",
               "Proxy-Authenticate: Basic realm=\"School proxy\"\r\n",
               page("407 Proxy Authentication Required"));
        return;
    }
    const bool isConnect = method == "CONNECT";
    const QUrl url = isConnect ? QUrl(QStringLiteral("//") + QString::fromLatin1(target))
                               : QUrl(QString::fromLatin1(target));
    if (currentMode == Mode::Gateway) {
        answer(client, "502 Bad Gateway", QByteArray(), page("502 Bad Gateway"));
        return;
    }
    if (currentMode == Mode::Portal || currentMode == Mode::PortalRedirect) {
        if (isConnect) {
            tunnel(client, portalAddress, portalPort, QByteArray());
        } else if (currentMode == Mode::PortalRedirect) {
            answer(client, "302 Found", "Location: http://portal.school.test/login\r\n",
                   QByteArray());
        } else {
            answer(client, "200 OK", QByteArray(), page("School Wi-Fi login"));
        }
        return;
    }
    QString address = names.value(url.host());
    if (address.isEmpty() && !QHostAddress(url.host()).isNull())
        address = url.host();
    if (address.isEmpty()) {
        answer(client, "502 Bad Gateway", QByteArray(),
               page("Unknown host " + url.host().toUtf8()));
        return;
    }
    const quint16 port = quint16(url.port(isConnect ? 443 : 80));
    if (isConnect) {
        tunnel(client, address, port, QByteArray());
        return;
    }
    // On in origin form, without the proxy's own headers; the upstream closes after its answer.
    QByteArray forwarded = method + ' ' + url.path(QUrl::FullyEncoded).toLatin1();
    if (url.hasQuery())
        forwarded += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    forwarded += ' ' + parts.value(2) + "\r\n";
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const QByteArray name = line.left(line.indexOf(':')).toLower();
        if (name.startsWith("proxy-") || name == "connection" || name == "keep-alive")
            continue;
        forwarded += line + "\r\n";
    }
    forwarded += "Connection: close\r\n\r\n" + buffer.mid(end + 4, length);
    tunnel(client, address, port, forwarded);
}

void StandInProxy::answer(QTcpSocket *client, const QByteArray &status, const QByteArray &headers,
                          const QByteArray &body)
{
    client->write("HTTP/1.1 " + status + "\r\n" + headers + "Content-Type: text/html\r\n"
                  + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

void StandInProxy::tunnel(QTcpSocket *client, const QString &host, quint16 port,
                          const QByteArray &first)
{
    disconnect(client, &QTcpSocket::readyRead, this, nullptr);
    auto *upstream = new QTcpSocket(client);
    QPointer<QTcpSocket> guard(client);
    connect(upstream, &QTcpSocket::connected, client, [client, upstream, first] {
        if (first.isEmpty())
            client->write("HTTP/1.1 200 Connection established\r\n\r\n");
        else
            upstream->write(first);
        const QByteArray pending = client->property(bufferProperty).toByteArray();
        if (!pending.isEmpty())
            upstream->write(pending);
        client->setProperty(bufferProperty, QByteArray());
        upstream->write(client->readAll());
    });
    connect(upstream, &QTcpSocket::readyRead, client,
            [client, upstream] { client->write(upstream->readAll()); });
    connect(client, &QTcpSocket::readyRead, upstream, [client, upstream] {
        if (upstream->state() == QAbstractSocket::ConnectedState)
            upstream->write(client->readAll());
    });
    connect(upstream, &QTcpSocket::disconnected, client,
            [client] { client->disconnectFromHost(); });
    connect(upstream, &QAbstractSocket::errorOccurred, client, [client, upstream] {
        if (upstream->state() != QAbstractSocket::ConnectedState)
            client->disconnectFromHost();
    });
    connect(client, &QTcpSocket::disconnected, upstream, [upstream] { upstream->abort(); });
    upstream->connectToHost(host, port);
}
