#include "ServiceRequest.h"

#include "config/AppContext.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QMap>

SimpleHttpPost *ServiceRequest::create()
{
    return new SimpleHttpPost(nullptr);
}

void ServiceRequest::send(SimpleHttpPost *request, const QString &path, const QJsonObject &body)
{
    // Read afresh for every request: plain concatenation, no separator handling.
    request->setUrl(AppContext::instance().settingText(QStringLiteral("Server/CorvinHost")) + path);
    request->setBody(QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact)));
    QMap<QString, QString> headers;
    request->query(headers);
}

bool ServiceRequest::parseReply(const QString &body, QJsonObject *object)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *object = document.object();
    return true;
}
