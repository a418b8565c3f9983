#ifndef SERVICEREQUEST_H
#define SERVICEREQUEST_H

#include "net/SimpleHttpPost.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

// The one way the program calls its service: the path is appended to "Server/CorvinHost", the
// body goes out as compact JSON, and the reply text reaches the receiver's slot. The request
// object releases itself after the reply; the caller keeps no pointer to it.
class ServiceRequest
{
public:
    template<typename Receiver, typename Slot>
    static void post(const QString &path, const QJsonObject &body, const Receiver *receiver,
                     Slot slot)
    {
        SimpleHttpPost *request = create();
        QObject::connect(request, &SimpleHttpPost::onResponse, receiver, slot);
        send(request, path, body);
    }

    // For a reply that more than one receiver reads: create, connect each, then send.
    static SimpleHttpPost *create();
    static void send(SimpleHttpPost *request, const QString &path, const QJsonObject &body);

    // A reply text read as a JSON object; false for anything else (empty, plain text, an array).
    static bool parseReply(const QString &body, QJsonObject *object);

    // What became of the request whose onResponse a receiver is handling (its sender()); a
    // receiver called directly, without a request, gets what the text alone tells.
    static RequestOutcome outcomeOf(const QObject *sender, const QString &body);

    ServiceRequest() = delete;
};

#endif // SERVICEREQUEST_H
