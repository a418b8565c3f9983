#ifndef PROXYCHOICE_H
#define PROXYCHOICE_H

#include <QNetworkProxy>
#include <QString>

// The proxy setting: "system" (or nothing) follows the system's proxy, "none" goes direct,
// "host:port" always uses that HTTP proxy.
namespace ProxyChoice {

// False for a text that is none of these.
bool parse(const QString &text, QNetworkProxy *proxy);

} // namespace ProxyChoice

#endif // PROXYCHOICE_H
