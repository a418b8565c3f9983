#ifndef PROXYLOGIN_H
#define PROXYLOGIN_H

#include <QString>

class QAuthenticator;
class QNetworkProxy;
class QWidget;

// Answers a proxy that wants a login. What the teacher types is kept in memory for this run
// only (never in a file or the log) and answers every later request through that proxy.
class ProxyLogin
{
public:
    // retry: the proxy refused what this request answered before. prompted: whether this
    // request has asked the teacher already (once at most).
    static void answer(const QNetworkProxy &proxy, QAuthenticator *authenticator, bool retry,
                       bool *prompted);

    // The run's answers are forgotten (a new run starts without them).
    static void forget();

    ProxyLogin() = delete;

private:
    // Windows first lets Qt try the logged-on user through SSPI (NTLM, Negotiate).
    static bool singleSignOnFirst();
};

#endif // PROXYLOGIN_H
