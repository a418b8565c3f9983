#include "ProxyChoice.h"

#include <QUrl>

namespace ProxyChoice {

bool parse(const QString &text, QNetworkProxy *proxy)
{
    const QString choice = text.trimmed();
    if (choice.isEmpty() || choice.compare(QLatin1String("system"), Qt::CaseInsensitive) == 0) {
        *proxy = QNetworkProxy(QNetworkProxy::DefaultProxy);
        return true;
    }
    if (choice.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
        *proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        return true;
    }
    const QUrl url(QStringLiteral("http://") + choice, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.port() <= 0 || !url.path().isEmpty()
        || !url.userInfo().isEmpty())
        return false;
    *proxy = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port()));
    return true;
}

} // namespace ProxyChoice
