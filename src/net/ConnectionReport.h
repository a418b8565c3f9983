#ifndef CONNECTIONREPORT_H
#define CONNECTIONREPORT_H

#include <QNetworkProxy>
#include <QString>

// A look at the way to the service, made on the spot for a support engineer: what the host name
// resolves to, the proxy chosen for it, whether a TCP connection and (for https) a TLS handshake
// succeed, and the HTTP status of a GET of the address's root. Nothing is sent that needs a
// login: a proxy that wants one is reported as such, not answered. Waits at most a few seconds
// for each step.
namespace ConnectionReport {

QString make(const QString &address, const QNetworkProxy &choice);

} // namespace ConnectionReport

#endif // CONNECTIONREPORT_H
