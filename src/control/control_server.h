#pragma once

#include "control/control_json.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QJsonValue>

class ControlConnections;
class ProxySet;

// The control API over HTTP: the proxies of the run, their faults ("toxics"), and populate and
// reset, in JSON. With a token set, a request without "Authorization: Bearer TOKEN" gets 401.
class ControlServer final : public QAbstractHttpServer {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ControlServer)

public:
    static constexpr qint64 MaxBody = 64 * 1024;

    ControlServer(ProxySet &proxies, QString version, QByteArray token, QObject *parent = nullptr);
    ~ControlServer() override;

    // False with `problem` saying why.
    bool listen(const QHostAddress &address, quint16 port, QString &problem);
    quint16 port() const;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    // What a request is answered with: a status and, unless null, a JSON body.
    struct Answer {
        int status = 200;
        QJsonValue body;
    };
    static Answer failed(const ApiError &error);
    Answer route(const QHttpServerRequest &request);
    Answer listProxies() const;
    Answer createProxy(const QHttpServerRequest &request);
    Answer proxy(const QHttpServerRequest &request, const QString &name);
    Answer listToxics(const QString &name) const;
    Answer addToxic(const QHttpServerRequest &request, const QString &name);
    Answer toxic(const QHttpServerRequest &request, const QString &name, const QString &toxic);
    Answer populate(const QHttpServerRequest &request);
    Answer reset();
    QJsonValue proxyValue(const QString &name) const;
    bool authorized(const QHttpServerRequest &request) const;

    ProxySet &m_proxies;
    const QString m_version;
    const QByteArray m_token;
    ControlConnections *m_connections;
};
