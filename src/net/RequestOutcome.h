#ifndef REQUESTOUTCOME_H
#define REQUESTOUTCOME_H

#include <QList>
#include <QSslError>
#include <QString>
#include <QStringList>

class QNetworkProxy;
class QNetworkReply;
class QSslCertificate;

// What became of one service request, typed by its cause, with what a teacher should do about
// it and what a support engineer needs to tell one network's fault from another's.
class RequestOutcome
{
public:
    // In order of precedence: the first that applies names the request's outcome.
    enum class Cause {
        Answered, // 2xx that looks like JSON: whether it is usable is the caller's business
        AddressMissing, // no usable service address in config.ini
        NameNotResolved,
        ConnectionRefused,
        TimedOut,
        TlsFailure,
        ProxyLoginRequired,
        ProxyRefused,
        HttpError,
        NotTheService, // a 2xx or 3xx that is HTML or otherwise not JSON: a portal, a redirect
        EmptyReply,
        Cancelled,
        NetworkError // anything else the network layer reports
    };

    Cause cause = Cause::Answered;
    QString host; // the service's host, as the address names it
    QString url; // without user info
    QString proxy; // "host:port", or "direct"
    int httpStatus = 0;
    int networkError = 0; // QNetworkReply::NetworkError
    QString errorString;
    QString contentType;
    // TLS: Qt's error texts, the peer chain (subject, issuer), the leaf's names.
    QStringList tlsErrors;
    QStringList tlsChain;
    QString peerSubject;
    QString peerIssuer;
    QStringList peerNames;
    bool tlsHostMismatch = false;
    bool tlsUntrusted = false;

    bool failed() const { return cause != Cause::Answered; }

    // One short text a teacher can act on; never the reply's own markup.
    QString message() const;
    // Whether a receiver that could not use this reply should tell the cause: every failure
    // but a short plain-text reply, which is shown (or passed over) as it stands.
    bool tellsFailure(const QString &body) const;
    // What a label shows for a reply its receiver could not use: a short plain text of the
    // service as it stands, else the cause.
    QString shownText(const QString &body) const;
    // The log's line for a failed request, after its tag.
    QString logText() const;
    static QString causeName(Cause cause);

    // One line, at most 60 characters, no markup.
    static bool isShortPlainText(const QString &body);

    // As the log and the connection report name them: a certificate's subject or issuer (common
    // name, else organisation), the names it is valid for, a proxy as "host:port" or "direct"
    // (never with its credentials).
    static QString certificateName(const QSslCertificate &certificate, bool issuer);
    static QStringList certificateNames(const QSslCertificate &certificate);
    static QString proxyName(const QNetworkProxy &proxy);

    // The outcome of a finished reply. timedOut: the request layer gave up waiting for it.
    static RequestOutcome fromReply(QNetworkReply *reply, const QByteArray &body, bool timedOut,
                                    const QList<QSslError> &sslErrors, const QString &proxy);
    // Where only the text is known (a receiver called without a request).
    static RequestOutcome fromBody(const QString &body);
};

#endif // REQUESTOUTCOME_H
