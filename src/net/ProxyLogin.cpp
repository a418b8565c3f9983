#include "ProxyLogin.h"

#include "ProxyLoginDialog.h"

#include <QApplication>
#include <QAuthenticator>
#include <QDebug>
#include <QHash>
#include <QNetworkProxy>
#include <QSet>

namespace {

struct Credentials
{
    QString user;
    QString password;
};

// GUI thread only: every request and its proxy question runs there.
QHash<QString, Credentials> &answers()
{
    static QHash<QString, Credentials> store;
    return store;
}

QSet<QString> &singleSignOnTried()
{
    static QSet<QString> tried;
    return tried;
}

} // namespace

void ProxyLogin::answer(const QNetworkProxy &proxy, QAuthenticator *authenticator, bool retry,
                        bool *prompted)
{
    const QString key = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    if (!retry) {
        const auto known = answers().constFind(key);
        if (known != answers().constEnd()) {
            authenticator->setUser(known->user);
            authenticator->setPassword(known->password);
            return;
        }
    } else {
        // The remembered answer, or what was just typed, was refused.
        answers().remove(key);
    }
    if (singleSignOnFirst() && !singleSignOnTried().contains(key)) {
        singleSignOnTried().insert(key);
        qDebug() << "[ProxyLogin][answer]"
                 << "代理需要登录, 先用当前 Windows 用户:" << key;
        return;
    }
    // Once per request: a second refusal ends it with the proxy-login message.
    if (*prompted)
        return;
    *prompted = true;

    qDebug() << "[ProxyLogin][answer]"
             << "代理需要登录:" << key << authenticator->realm();
    ProxyLoginDialog dialog(key, QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted) {
        qDebug() << "[ProxyLogin][answer]"
                 << "代理登录已取消";
        return;
    }
    answers().insert(key, Credentials {dialog.user(), dialog.password()});
    authenticator->setUser(dialog.user());
    authenticator->setPassword(dialog.password());
}

void ProxyLogin::forget()
{
    answers().clear();
    singleSignOnTried().clear();
}

bool ProxyLogin::singleSignOnFirst()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}
