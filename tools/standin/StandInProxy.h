#ifndef STANDINPROXY_H
#define STANDINPROXY_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// A forward proxy as schools run them, on 127.0.0.1 and on the caller's event loop: plain
// requests in absolute form and CONNECT tunnels, host names it alone resolves, and the ways such
// a proxy or the network behind it answers in the service's place.
class StandInProxy : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        Forward, // passes every request on
        Portal, // a captive portal: every plain request gets its login page, every tunnel ends
                // at the portal's own TLS server (setPortalTls)
        PortalRedirect, // as Portal, with a 302 to the login page instead of the page itself
        Gateway // a gateway whose upstream is down: 502 with an HTML page
    };

    explicit StandInProxy(QObject *parent = nullptr);

    // On 127.0.0.1:port (0 picks one); stop() leaves the port refusing connections.
    bool start(quint16 port = 0);
    void stop() { server.close(); }
    quint16 port() const { return listenPort; }

    void setMode(Mode mode) { currentMode = mode; }
    // Only the proxy knows these names: the client cannot resolve them itself.
    void mapName(const QString &name, const QString &address) { names.insert(name, address); }
    // With a login set, a request without these Basic credentials is answered 407.
    void requireLogin(const QString &user, const QString &password);
    void setPortalTls(const QString &address, quint16 port);

    // Each request's first line, and whether it carried the expected credentials.
    struct Seen
    {
        QByteArray requestLine;
        QByteArray proxyAuthorization;
    };
    QList<Seen> seen() const { return requests; }
    void clear() { requests.clear(); }

    static QByteArray page(const QByteArray &title);

private:
    void accept();
    void readHead(QTcpSocket *client);
    void answer(QTcpSocket *client, const QByteArray &status, const QByteArray &headers,
                const QByteArray &body);
    void tunnel(QTcpSocket *client, const QString &host, quint16 port, const QByteArray &first);

    QTcpServer server;
    quint16 listenPort = 0;
    Mode currentMode = Mode::Forward;
    QHash<QString, QString> names;
    QByteArray expectedAuthorization;
    QString portalAddress;
    quint16 portalPort = 0;
    QList<Seen> requests;
};

#endif // STANDINPROXY_H
