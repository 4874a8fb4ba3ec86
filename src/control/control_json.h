#pragma once

#include "model/fault.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QString>

// What went wrong with a request, as the API answers it: an HTTP status and a text; status 0
// when nothing did.
struct ApiError {
    int status = 0;
    QString text;
    explicit operator bool() const { return status != 0; }
};

// A proxy as the API gives it: "listen" and "upstream" as "HOST:PORT", both "udp://HOST:PORT"
// for a UDP relay.
struct ProxyDefinition {
    QString name;
    QString listen;
    QString upstream;
    bool enabled = true;
};

// The listening end of a proxy, from its "listen" text.
struct ListenEnd {
    bool udp = false;
    QHostAddress address;
    quint16 port = 0;
};

// Each of these answers 400 with the reason, and fills its result only when all is well.
ApiError parseListenEnd(const QString &text, ListenEnd &end);
// "upstream" for a relay of that protocol.
ApiError checkUpstream(const QString &text, bool udp);
// A proxy from a request's body; `base` holds what a field left out keeps (an update), else
// the defaults of a new proxy, whose name and upstream are then required.
ApiError proxyDefinitionFromJson(const QJsonObject &json, ProxyDefinition &definition, bool update);
// A toxic's fields over `fault` (a new one's defaults, or the toxic being updated), checked for
// a relay over UDP (`datagrams`) or TCP.
ApiError faultFromJson(const QJsonObject &json, bool datagrams, Fault &fault);

QJsonObject faultJson(const Fault &fault);
QJsonObject proxyJson(const ProxyDefinition &definition, const QList<Fault> &faults);
// {"error":TEXT,"status":N}
QByteArray errorBody(const ApiError &error);
// "udp://" before a UDP end, nothing before a TCP one.
QString endText(bool udp, const QString &hostPort);
