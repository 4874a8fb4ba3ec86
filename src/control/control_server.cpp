#include "control/control_server.h"

#include "control/control_connections.h"
#include "control/proxy_set.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>

using namespace Qt::Literals::StringLiterals;
using Method = QHttpServerRequest::Method;

namespace {

// The request's body as JSON; null with `error` set when it is none.
QJsonValue bodyJson(const QHttpServerRequest &request, ApiError &error) {
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(request.body(), &parse);
    if (parse.error != QJsonParseError::NoError) {
        error = {400, u"bad JSON: "_s + parse.errorString()};
        return {};
    }
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

// A body that must be one JSON object, a proxy or a toxic (`what`).
QJsonObject bodyObject(const QHttpServerRequest &request, ApiError &error, const QString &what) {
    const QJsonValue json = bodyJson(request, error);
    if (!error && !json.isObject())
        error = {400, u"a %1 is a JSON object"_s.arg(what)};
    return json.toObject();
}

ApiError wrongMethod() {
    return {405, u"method not allowed"_s};
}

// Constant time, so the answer's timing does not tell how much of a guess was right.
bool sameBytes(const QByteArray &a, const QByteArray &b) {
    if (a.size() != b.size())
        return false;
    char differ = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        differ = char(differ | (a[i] ^ b[i]));
    return differ == 0;
}

} // namespace

ControlServer::ControlServer(ProxySet &proxies, QString version, QByteArray token, QObject *parent)
    : QAbstractHttpServer(parent), m_proxies(proxies), m_version(std::move(version)),
      m_token(std::move(token)), m_connections(new ControlConnections(this)) {}

ControlServer::~ControlServer() = default;

bool ControlServer::listen(const QHostAddress &address, quint16 port, QString &problem) {
    if (!m_connections->listen(address, port)) {
        problem = m_connections->errorString();
        return false;
    }
    bind(m_connections);
    return true;
}

quint16 ControlServer::port() const {
    return m_connections->serverPort();
}

bool ControlServer::authorized(const QHttpServerRequest &request) const {
    return m_token.isEmpty() || sameBytes(request.value("Authorization"), "Bearer " + m_token);
}

bool ControlServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) {
    if (!m_connections->answering(socket))
        return true;
    QHttpServerResponder responder = makeResponder(request, socket);
    const QStringList path = request.url().path().split(u'/', Qt::SkipEmptyParts);
    Answer answer;
    if (!authorized(request))
        answer = failed({401, u"no valid Authorization: Bearer TOKEN"_s});
    else if (request.body().size() > MaxBody)
        answer = failed({413, u"a request's body is at most %1 bytes"_s.arg(MaxBody)});
    else if (path == QStringList{u"version"_s} && request.method() == Method::Get) {
        responder.write(m_version.toUtf8(), "text/plain");
        return true;
    } else
        answer = route(request);
    if (answer.body.isNull())
        responder.write(QHttpServerResponder::StatusCode(answer.status));
    else
        responder.write(answer.body.isArray() ? QJsonDocument(answer.body.toArray())
                                              : QJsonDocument(answer.body.toObject()),
                        QHttpServerResponder::StatusCode(answer.status));
    // Whoever does not know the token gets nothing more on this connection.
    if (answer.status == 401)
        socket->disconnectFromHost();
    return true;
}

void ControlServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) {
    makeResponder(request, socket)
        .write(QJsonDocument(failed({404, u"not found"_s}).body.toObject()),
               QHttpServerResponder::StatusCode::NotFound);
}

ControlServer::Answer ControlServer::failed(const ApiError &error) {
    return {error.status, QJsonObject{{u"error"_s, error.text}, {u"status"_s, error.status}}};
}

ControlServer::Answer ControlServer::route(const QHttpServerRequest &request) {
    const QStringList path = request.url().path().split(u'/', Qt::SkipEmptyParts);
    const qsizetype depth = path.size();
    if (depth == 1 && path[0] == u"populate")
        return request.method() == Method::Post ? populate(request) : failed(wrongMethod());
    if (depth == 1 && path[0] == u"reset")
        return request.method() == Method::Post ? reset() : failed(wrongMethod());
    if (depth == 0 || path[0] != u"proxies" || depth > 4 || (depth >= 3 && path[2] != u"toxics"))
        return failed({404, u"not found"_s});
    const Method method = request.method();
    if (depth == 1)
        return method == Method::Get    ? listProxies()
               : method == Method::Post ? createProxy(request)
                                        : failed(wrongMethod());
    if (!m_proxies.definition(path[1]))
        return failed(m_proxies.notFound(path[1]));
    if (depth == 2)
        return proxy(request, path[1]);
    if (depth == 3)
        return method == Method::Get    ? listToxics(path[1])
               : method == Method::Post ? addToxic(request, path[1])
                                        : failed(wrongMethod());
    return toxic(request, path[1], path[3]);
}

QJsonValue ControlServer::proxyValue(const QString &name) const {
    return proxyJson(*m_proxies.definition(name), m_proxies.faults(name));
}

ControlServer::Answer ControlServer::listProxies() const {
    QJsonObject all;
    for (const QString &name : m_proxies.names())
        all.insert(name, proxyValue(name));
    return {200, all};
}

ControlServer::Answer ControlServer::createProxy(const QHttpServerRequest &request) {
    ApiError error;
    const QJsonObject json = bodyObject(request, error, u"proxy"_s);
    ProxyDefinition definition;
    if (!error)
        error = proxyDefinitionFromJson(json, definition, false);
    if (!error)
        error = m_proxies.create(definition);
    return error ? failed(error) : Answer{201, proxyValue(definition.name)};
}

ControlServer::Answer ControlServer::proxy(const QHttpServerRequest &request, const QString &name) {
    if (request.method() == Method::Get)
        return {200, proxyValue(name)};
    if (request.method() == Method::Delete) {
        m_proxies.remove(name);
        return {204, {}};
    }
    if (request.method() != Method::Post)
        return failed(wrongMethod());
    ApiError error;
    const QJsonObject json = bodyObject(request, error, u"proxy"_s);
    ProxyDefinition definition = *m_proxies.definition(name);
    if (!error)
        error = proxyDefinitionFromJson(json, definition, true);
    if (!error)
        error = m_proxies.update(name, definition);
    return error ? failed(error) : Answer{200, proxyValue(name)};
}

ControlServer::Answer ControlServer::listToxics(const QString &name) const {
    QJsonArray all;
    for (const Fault &fault : m_proxies.faults(name))
        all.append(faultJson(fault));
    return {200, all};
}

ControlServer::Answer ControlServer::addToxic(const QHttpServerRequest &request,
                                              const QString &name) {
    QList<Fault> faults = m_proxies.faults(name);
    ApiError error;
    const QJsonObject json = bodyObject(request, error, u"toxic"_s);
    Fault fault;
    if (!error)
        error = faultFromJson(json, m_proxies.datagrams(name), fault);
    for (const Fault &other : std::as_const(faults)) {
        if (!error && other.name == fault.name)
            error = {409, u"toxic %1 already exists"_s.arg(fault.name)};
    }
    faults.append(fault);
    if (!error)
        error = m_proxies.setFaults(name, faults);
    return error ? failed(error) : Answer{200, faultJson(fault)};
}

ControlServer::Answer ControlServer::toxic(const QHttpServerRequest &request, const QString &name,
                                           const QString &toxic) {
    QList<Fault> faults = m_proxies.faults(name);
    const auto found = std::find_if(faults.begin(), faults.end(),
                                    [&toxic](const Fault &fault) { return fault.name == toxic; });
    if (found == faults.end())
        return failed({404, u"toxic %1 not found"_s.arg(toxic.left(64))});
    if (request.method() == Method::Get)
        return {200, faultJson(*found)};
    if (request.method() == Method::Delete) {
        faults.erase(found);
        m_proxies.setFaults(name, faults);
        return {204, {}};
    }
    if (request.method() != Method::Post)
        return failed(wrongMethod());
    ApiError error;
    const QJsonObject json = bodyObject(request, error, u"toxic"_s);
    Fault fault = *found;
    if (!error)
        error = faultFromJson(json, m_proxies.datagrams(name), fault);
    if (!error && fault.name != toxic)
        error = {400, u"a toxic keeps its name"_s};
    *found = fault;
    if (!error)
        error = m_proxies.setFaults(name, faults);
    return error ? failed(error) : Answer{200, faultJson(fault)};
}

ControlServer::Answer ControlServer::populate(const QHttpServerRequest &request) {
    ApiError error;
    const QJsonValue json = bodyJson(request, error);
    if (!error && !json.isArray())
        error = {400, u"populate takes a JSON array of proxies"_s};
    QList<ProxyDefinition> definitions;
    for (const QJsonValue &value : json.toArray()) {
        ProxyDefinition definition;
        if (!error && definitions.size() >= ProxySet::MaxProxies)
            error = {400, u"at most %1 proxies"_s.arg(ProxySet::MaxProxies)};
        if (!error)
            error = proxyDefinitionFromJson(value.toObject(), definition, false);
        definitions.append(definition);
    }
    if (!error)
        error = m_proxies.populate(definitions);
    QJsonArray made;
    for (const ProxyDefinition &definition : std::as_const(definitions)) {
        if (m_proxies.definition(definition.name))
            made.append(proxyValue(definition.name));
    }
    if (error) {
        Answer answer = failed(error);
        QJsonObject body = answer.body.toObject();
        if (!made.isEmpty() && error.status >= 500)
            body.insert(u"proxies"_s, made);
        answer.body = body;
        return answer;
    }
    return {201, QJsonObject{{u"proxies"_s, made}}};
}

ControlServer::Answer ControlServer::reset() {
    m_proxies.reset();
    return {204, {}};
}
