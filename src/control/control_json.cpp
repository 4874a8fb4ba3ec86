#include "control/control_json.h"

#include "model/relay_options.h"
#include "runtime/leading_number.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString UdpScheme = u"udp://"_s;
constexpr int MaxTextField = 256;

ApiError badRequest(const QString &text) {
    return {400, text};
}

// The end without its scheme; whether it had the UDP one.
QString withoutScheme(const QString &text, bool &udp) {
    udp = text.startsWith(UdpScheme);
    return udp ? text.mid(UdpScheme.size()) : text;
}

// A field that is there must be of its type; one left out keeps what `value` holds.
ApiError readText(const QJsonObject &json, const QString &key, QString &value) {
    if (!json.contains(key))
        return {};
    if (!json[key].isString() || json[key].toString().size() > MaxTextField)
        return badRequest(u"%1 is a string of at most %2 characters"_s.arg(key).arg(MaxTextField));
    value = json[key].toString();
    return {};
}

ApiError readBool(const QJsonObject &json, const QString &key, bool &value) {
    if (!json.contains(key))
        return {};
    if (!json[key].isBool())
        return badRequest(u"%1 is true or false"_s.arg(key));
    value = json[key].toBool();
    return {};
}

ApiError readAttributes(const QJsonValue &value, Fault &fault) {
    if (value.isUndefined() || value.isNull())
        return {};
    if (!value.isObject())
        return badRequest(u"attributes is an object of numbers"_s);
    const QJsonObject attributes = value.toObject();
    for (auto it = attributes.begin(); it != attributes.end(); ++it) {
        const double number = it.value().toDouble(-1);
        if (!it.value().isDouble() || number < 0 || number > 9e15 || number != std::floor(number))
            return badRequest(u"attribute %1 is a whole number from 0"_s.arg(it.key().left(40)));
        if (!fault.setValue(it.key(), qint64(number)))
            return badRequest(u"%1 has no attribute %2"_s.arg(
                QLatin1StringView(faultKindInfo(fault.kind).name), it.key().left(40)));
    }
    return {};
}

ApiError readAfter(const QJsonValue &value, Fault &fault) {
    if (value.isUndefined() || value.isNull())
        return {};
    const QJsonObject after = value.toObject();
    const std::optional<MatchMode> mode = matchModeFromName(after[u"mode"].toString(u"exact"_s));
    if (!value.isObject() || !mode || !after[u"watch"].isString()
        || after[u"watch"].toString().size() > MaxTextField)
        return badRequest(u"after is {\"mode\":MODE,\"watch\":TEXT}, MODE one of exact, contains, "
                          "starts, ends, regex, hex"_s);
    fault.after.mode = *mode;
    fault.after.watch = after[u"watch"].toString();
    return {};
}

} // namespace

ApiError parseListenEnd(const QString &text, ListenEnd &end) {
    ListenEnd parsed;
    const QString hostPort = withoutScheme(text, parsed.udp);
    const qsizetype colon = hostPort.lastIndexOf(u':');
    QString host = hostPort.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    const std::optional<qint64> port = decimalNumber(QStringView(hostPort).mid(colon + 1), 65535);
    parsed.address = host == u"localhost" ? QHostAddress(QHostAddress::LocalHost)
                     : host.isEmpty()     ? QHostAddress(QHostAddress::Any)
                                          : QHostAddress(host);
    if (colon < 0 || !port || parsed.address.isNull())
        return badRequest(u"listen is ADDRESS:PORT (an IP address or localhost; port 0 picks "
                          "one), not '%1'"_s.arg(text.left(80)));
    parsed.port = quint16(*port);
    end = parsed;
    return {};
}

ApiError checkUpstream(const QString &text, bool udp) {
    bool udpUpstream = false;
    RelayOptions options;
    const QString error = parseRelayTarget(withoutScheme(text, udpUpstream), options);
    if (!error.isEmpty())
        return badRequest(u"upstream: "_s + error);
    if (udpUpstream != udp)
        return badRequest(u"listen and upstream both begin with udp:// or neither does"_s);
    return {};
}

ApiError proxyDefinitionFromJson(const QJsonObject &json, ProxyDefinition &definition,
                                 bool update) {
    ProxyDefinition read = definition;
    if (!update)
        read = {{}, u"127.0.0.1:0"_s, {}, true};
    for (const auto &[key, field] : {std::pair{u"name"_s, &read.name},
                                     {u"listen"_s, &read.listen},
                                     {u"upstream"_s, &read.upstream}}) {
        if (const ApiError error = readText(json, key, *field))
            return error;
    }
    if (const ApiError error = readBool(json, u"enabled"_s, read.enabled))
        return error;
    static const QRegularExpression goodName(u"^[A-Za-z0-9_.-]{1,64}$"_s);
    if (!goodName.match(read.name).hasMatch())
        return badRequest(u"a proxy's name is 1 to 64 letters, digits, '_', '-' or '.'"_s);
    if (update && read.name != definition.name)
        return badRequest(u"a proxy keeps its name"_s);
    ListenEnd end;
    if (const ApiError error = parseListenEnd(read.listen, end))
        return error;
    if (const ApiError error = checkUpstream(read.upstream, end.udp))
        return error;
    definition = read;
    return {};
}

ApiError faultFromJson(const QJsonObject &json, bool datagrams, Fault &fault) {
    Fault read = fault;
    QString type = QLatin1StringView(faultKindInfo(read.kind).name);
    QString stream = read.up ? u"upstream"_s : u"downstream"_s;
    for (const auto &[key, field] :
         {std::pair{u"name"_s, &read.name}, {u"type"_s, &type}, {u"stream"_s, &stream}}) {
        if (const ApiError error = readText(json, key, *field))
            return error;
    }
    const std::optional<FaultKind> kind = faultKindFromName(type);
    if (fault.name.isEmpty() && !json.contains(u"type"))
        return badRequest(u"a toxic needs a type"_s);
    if (!kind)
        return badRequest(u"no toxic type '%1'"_s.arg(type.left(40)));
    if (*kind != read.kind && !fault.name.isEmpty())
        return badRequest(u"a toxic keeps its type"_s);
    read.kind = *kind;
    if (stream != u"upstream" && stream != u"downstream")
        return badRequest(u"stream is upstream or downstream"_s);
    read.up = stream == u"upstream";
    if (json.contains(u"toxicity")) {
        if (!json[u"toxicity"].isDouble())
            return badRequest(u"toxicity is a number from 0 to 1"_s);
        read.toxicity = json[u"toxicity"].toDouble();
    }
    if (const ApiError error = readBool(json, u"enabled"_s, read.enabled))
        return error;
    if (const ApiError error = readAttributes(json[u"attributes"], read))
        return error;
    if (const ApiError error = readAfter(json[u"after"], read))
        return error;
    if (read.name.isEmpty())
        read.name = type + u'_' + stream;
    if (const QString problem = checkFault(read, datagrams); !problem.isEmpty())
        return badRequest(problem);
    fault = read;
    return {};
}

QJsonObject faultJson(const Fault &fault) {
    const FaultKindInfo &info = faultKindInfo(fault.kind);
    QJsonObject attributes;
    for (qsizetype i = 0; i < info.attributes.size(); ++i)
        attributes.insert(QLatin1StringView(info.attributes[i].name),
                          double(fault.values[size_t(i)]));
    QJsonObject json{{u"name"_s, fault.name},
                     {u"type"_s, QLatin1StringView(info.name)},
                     {u"stream"_s, fault.up ? u"upstream"_s : u"downstream"_s},
                     {u"toxicity"_s, fault.toxicity},
                     {u"enabled"_s, fault.enabled},
                     {u"attributes"_s, attributes}};
    if (!fault.after.watch.isEmpty()) {
        const QString mode = matchModeName(fault.after.mode);
        json.insert(u"after"_s, QJsonObject{{u"mode"_s, mode.isEmpty() ? u"exact"_s : mode},
                                            {u"watch"_s, fault.after.watch}});
    }
    return json;
}

QJsonObject proxyJson(const ProxyDefinition &definition, const QList<Fault> &faults) {
    QJsonArray toxics;
    for (const Fault &fault : faults)
        toxics.append(faultJson(fault));
    return {{u"name"_s, definition.name},
            {u"listen"_s, definition.listen},
            {u"upstream"_s, definition.upstream},
            {u"enabled"_s, definition.enabled},
            {u"toxics"_s, toxics}};
}

QByteArray errorBody(const ApiError &error) {
    return QJsonDocument(QJsonObject{{u"error"_s, error.text}, {u"status"_s, error.status}})
        .toJson(QJsonDocument::Compact);
}

QString endText(bool udp, const QString &hostPort) {
    return udp ? UdpScheme + hostPort : hostPort;
}
