#include "StandInServer.h"

#include <httplib.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

bool RecordedRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

struct StandInServer::Private
{
    std::unique_ptr<httplib::Server> server {new httplib::Server};
    bool tls = false;
    std::thread thread;
    int port = -1;

    mutable std::mutex mutex;
    std::condition_variable stopped;
    bool stopping = false;
    QJsonObject scenario;
    QMap<QString, ScriptedReply> scripts;
    QList<RecordedRequest> requests;

    void handle(const httplib::Request &req, httplib::Response &res);
    QJsonObject answer(const QString &path, const QJsonObject &body, bool *known) const;
};

namespace {

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool sameValue(const QJsonValue &a, const QJsonValue &b)
{
    // The service compares ids as text: "7" and 7 name the same teacher.
    return a.toVariant().toString() == b.toVariant().toString();
}

} // namespace

QJsonObject StandInServer::Private::answer(const QString &path, const QJsonObject &body,
                                           bool *known) const
{
    *known = true;
    if (path == QLatin1String("/clb/action/login")) {
        for (const QJsonValue &value : scenario.value(QLatin1String("accounts")).toArray()) {
            const QJsonObject account = value.toObject();
            if (account.value(QLatin1String("username")) == body.value(QLatin1String("username"))
                && account.value(QLatin1String("password"))
                        == body.value(QLatin1String("password"))) {
                QJsonObject result;
                result.insert(QStringLiteral("managerID"),
                              account.value(QLatin1String("managerID")));
                result.insert(QStringLiteral("token"), account.value(QLatin1String("token")));
                result.insert(QStringLiteral("username"), account.value(QLatin1String("username")));
                return QJsonObject {{QStringLiteral("code"), 0},
                                    {QStringLiteral("msg"), QStringLiteral("ok")},
                                    {QStringLiteral("result"), result}};
            }
        }
        return QJsonObject {{QStringLiteral("code"), 1001},
                            {QStringLiteral("msg"), QStringLiteral("wrong user name or password")}};
    }
    if (path == QLatin1String("/clb/class/getCurrentLesson")) {
        for (const QJsonValue &value : scenario.value(QLatin1String("lessons")).toArray()) {
            const QJsonObject lesson = value.toObject();
            if (sameValue(lesson.value(QLatin1String("channelId")),
                          body.value(QLatin1String("channelId")))
                && sameValue(lesson.value(QLatin1String("teacherID")),
                             body.value(QLatin1String("teacherID"))))
                return QJsonObject {{QStringLiteral("success"), true},
                                    {QStringLiteral("lesson"), lesson}};
        }
        return QJsonObject {{QStringLiteral("success"), false}};
    }
    if (path == QLatin1String("/platform/room/findDLCoursewareInfo")) {
        const QJsonObject devices = scenario.value(QLatin1String("devices")).toObject();
        const QString devId = body.value(QLatin1String("devId")).toString();
        return QJsonObject {{QStringLiteral("coursewareList"), devices.value(devId).toArray()}};
    }
    if (path == QLatin1String("/platform/room/getCoursewareResource")) {
        const QString key = body.value(QLatin1String("coursewareId")).toString() + QLatin1Char('/')
                + QString::number(body.value(QLatin1String("releaseVersion")).toInt());
        const QJsonObject resources = scenario.value(QLatin1String("resources")).toObject();
        QJsonObject resource;
        if (resources.contains(key)) {
            resource = resources.value(key).toObject();
            resource.insert(QStringLiteral("success"), true);
        } else {
            resource.insert(QStringLiteral("success"), false);
        }
        return QJsonObject {{QStringLiteral("coursewareResource"), resource}};
    }
    if (path == QLatin1String("/clb/class/replaceClassStudent"))
        return QJsonObject {{QStringLiteral("code"), 0}, {QStringLiteral("success"), true}};
    *known = false;
    return QJsonObject();
}

void StandInServer::Private::handle(const httplib::Request &req, httplib::Response &res)
{
    RecordedRequest record;
    record.method = QByteArray::fromStdString(req.method);
    record.path = QByteArray::fromStdString(req.path);
    for (const auto &h : req.headers) {
        // The library adds the peer's addresses as headers; the client never sent them.
        if (h.first == "REMOTE_ADDR" || h.first == "REMOTE_PORT" || h.first == "LOCAL_ADDR"
            || h.first == "LOCAL_PORT")
            continue;
        record.headers.append(
                {QByteArray::fromStdString(h.first), QByteArray::fromStdString(h.second)});
    }
    record.body = QByteArray(req.body.data(), int(req.body.size()));

    ScriptedReply scripted;
    bool isScripted = false;
    QJsonObject currentScenario;
    {
        std::lock_guard<std::mutex> lock(mutex);
        requests.append(record);
        const QString path = QString::fromStdString(req.path);
        if (scripts.contains(path)) {
            scripted = scripts.value(path);
            isScripted = true;
        }
    }

    if (isScripted) {
        if (scripted.neverAnswer) {
            std::unique_lock<std::mutex> lock(mutex);
            stopped.wait(lock, [this] { return stopping; });
            res.status = 503;
            return;
        }
        if (scripted.delayMs > 0) {
            std::unique_lock<std::mutex> lock(mutex);
            stopped.wait_for(lock, std::chrono::milliseconds(scripted.delayMs),
                             [this] { return stopping; });
        }
        res.status = scripted.status;
        res.set_content(scripted.body.toStdString(), scripted.contentType.toStdString());
        return;
    }

    bool known = false;
    QJsonObject reply;
    if (req.method == "POST") {
        const QJsonObject body = QJsonDocument::fromJson(record.body).object();
        std::lock_guard<std::mutex> lock(mutex);
        reply = answer(QString::fromStdString(req.path), body, &known);
    }
    if (!known) {
        res.status = 404;
        res.set_content("<html><head><title>404 Not Found</title></head>"
                        "<body><h1>Not Found</h1></body></html>",
                        "text/html");
        return;
    }
    res.status = 200;
    res.set_content(compact(reply).toStdString(), "application/json");
}

StandInServer::StandInServer(const QJsonObject &scenario) : d(new Private)
{
    d->scenario = scenario;
    routeAll();
}

void StandInServer::routeAll()
{
    auto handler = [this](const httplib::Request &req, httplib::Response &res) {
        d->handle(req, res);
    };
    httplib::Server &server = *d->server;
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Delete(".*", handler);
    server.Patch(".*", handler);
    server.Options(".*", handler);
    // Every client request makes a connection of its own; closing it after the reply lets
    // stop() return at once.
    server.set_keep_alive_max_count(1);
}

bool StandInServer::tlsAvailable()
{
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    return true;
#else
    return false;
#endif
}

bool StandInServer::useTls(const QString &certificateChain, const QString &privateKey)
{
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    if (d->thread.joinable())
        return false;
    auto server
            = std::make_unique<httplib::SSLServer>(QFile::encodeName(certificateChain).constData(),
                                                   QFile::encodeName(privateKey).constData());
    if (!server->is_valid())
        return false;
    d->server = std::move(server);
    d->tls = true;
    routeAll();
    return true;
#else
    Q_UNUSED(certificateChain)
    Q_UNUSED(privateKey)
    return false;
#endif
}

StandInServer::~StandInServer()
{
    stop();
}

bool StandInServer::start(int port)
{
    if (d->thread.joinable())
        return true;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = false;
    }
    if (port == 0) {
        d->port = d->server->bind_to_any_port("127.0.0.1");
    } else {
        d->port = d->server->bind_to_port("127.0.0.1", port) ? port : -1;
    }
    if (d->port <= 0)
        return false;
    d->thread = std::thread([this] { d->server->listen_after_bind(); });
    while (!d->server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void StandInServer::stop()
{
    if (!d->thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = true;
    }
    d->stopped.notify_all();
    d->server->stop();
    d->thread.join();
}

int StandInServer::port() const
{
    return d->port;
}

QString StandInServer::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
            .arg(d->tls ? QLatin1String("https") : QLatin1String("http"))
            .arg(d->port);
}

void StandInServer::setScenario(const QJsonObject &scenario)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->scenario = scenario;
}

bool StandInServer::loadScenario(const QString &fileName, QJsonObject *scenario, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                              : QStringLiteral("not a JSON object");
        return false;
    }
    *scenario = document.object();
    return true;
}

void StandInServer::script(const QString &path, const ScriptedReply &reply)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->scripts.insert(path, reply);
}

void StandInServer::clearScripts()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->scripts.clear();
}

QList<RecordedRequest> StandInServer::requests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->requests;
}

QList<RecordedRequest> StandInServer::requests(const QString &path) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    QList<RecordedRequest> result;
    for (const RecordedRequest &r : d->requests) {
        if (r.path == path.toUtf8())
            result.append(r);
    }
    return result;
}

void StandInServer::clearRequests()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->requests.clear();
}
