#include "control/proxy_set.h"

#include "listener/relay.h"
#include "net/socket_control.h"
#include "net/socket_errors.h"
#include "net/tcp_server.h"
#include "program/program.h"

#include <QSet>

using namespace Qt::Literals::StringLiterals;

namespace {

// What one proxy's pairs may hold at once; all of them together stay within a few times the
// main relay's bound.
constexpr qint64 ProxyHeldBytes = RelayBudget::TotalBytes / 8;

QString upstreamHostPort(const QString &upstream) {
    return upstream.startsWith(u"udp://"_s) ? upstream.mid(6) : upstream;
}

} // namespace

struct ProxySet::Proxy {
    ProxyDefinition definition;
    ListenEnd end;
    RelayOptions options;
    std::unique_ptr<Relay> relay;
    std::unique_ptr<TcpServer> tcp;
    std::unique_ptr<SocketControl> udp;
};

ProxySet::ProxySet(Program &program, QObject *parent) : QObject(parent), m_program(program) {}

ProxySet::~ProxySet() = default;

ApiError ProxySet::notFound(const QString &name) const {
    return {404, u"proxy %1 not found"_s.arg(name.left(64))};
}

ApiError ProxySet::create(ProxyDefinition definition) {
    if (m_proxies.contains(definition.name))
        return {409, u"proxy %1 already exists"_s.arg(definition.name)};
    if (int(m_proxies.size()) >= MaxProxies)
        return {400, u"at most %1 proxies"_s.arg(MaxProxies)};
    auto proxy = std::make_unique<Proxy>();
    if (const ApiError error = parseListenEnd(definition.listen, proxy->end))
        return error;
    parseRelayTarget(upstreamHostPort(definition.upstream), proxy->options);
    proxy->definition = definition;
    proxy->relay = std::make_unique<Relay>(ProxyHeldBytes);
    m_program.recordRelay(*proxy->relay);
    proxy->relay->setOptions(proxy->options);
    if (definition.enabled) {
        if (const ApiError error = open(*proxy, proxy->end))
            return error;
    }
    m_proxies[definition.name] = std::move(proxy);
    return {};
}

ApiError ProxySet::update(const QString &name, ProxyDefinition definition) {
    const auto found = m_proxies.find(name);
    if (found == m_proxies.end())
        return notFound(name);
    Proxy &proxy = *found->second;
    ListenEnd end;
    if (const ApiError error = parseListenEnd(definition.listen, end))
        return error;
    if (const QString problem = checkFaults(proxy.options.faults, end.udp); !problem.isEmpty())
        return {400, problem};
    const bool moved = definition.listen != proxy.definition.listen;
    if (end.udp != proxy.end.udp)
        close(proxy);
    if (definition.enabled && (moved || !proxy.definition.enabled || end.udp != proxy.end.udp)) {
        if (const ApiError error = open(proxy, end))
            return error;
    }
    if (!definition.enabled)
        close(proxy);
    proxy.definition.enabled = definition.enabled;
    if (moved && !definition.enabled) {
        proxy.end = end;
        proxy.definition.listen = definition.listen;
    }
    proxy.definition.upstream = definition.upstream;
    parseRelayTarget(upstreamHostPort(definition.upstream), proxy.options);
    apply(proxy);
    return {};
}

ApiError ProxySet::remove(const QString &name) {
    if (m_proxies.erase(name) == 0)
        return notFound(name);
    return {};
}

ApiError ProxySet::populate(const QList<ProxyDefinition> &definitions) {
    QSet<QString> names;
    for (const ProxyDefinition &definition : definitions) {
        if (names.contains(definition.name))
            return {400, u"proxy %1 given twice"_s.arg(definition.name)};
        names.insert(definition.name);
    }
    for (const auto &[name, proxy] : m_proxies)
        names.insert(name);
    if (names.size() > MaxProxies)
        return {400, u"at most %1 proxies"_s.arg(MaxProxies)};
    for (const ProxyDefinition &definition : definitions) {
        m_proxies.erase(definition.name);
        if (const ApiError error = create(definition))
            return error;
    }
    return {};
}

void ProxySet::reset() {
    for (auto &[name, proxy] : m_proxies) {
        proxy->options.faults.clear();
        if (!proxy->definition.enabled && !open(*proxy, proxy->end))
            proxy->definition.enabled = true;
        apply(*proxy);
    }
}

ApiError ProxySet::setFaults(const QString &name, const QList<Fault> &faults) {
    const auto found = m_proxies.find(name);
    if (found == m_proxies.end())
        return notFound(name);
    Proxy &proxy = *found->second;
    if (const QString problem = checkFaults(faults, proxy.end.udp); !problem.isEmpty())
        return {400, problem};
    proxy.options.faults = faults;
    apply(proxy);
    return {};
}

QStringList ProxySet::names() const {
    QStringList names;
    for (const auto &[name, proxy] : m_proxies)
        names.append(name);
    return names;
}

const ProxyDefinition *ProxySet::definition(const QString &name) const {
    const auto found = m_proxies.find(name);
    return found == m_proxies.end() ? nullptr : &found->second->definition;
}

QList<Fault> ProxySet::faults(const QString &name) const {
    const auto found = m_proxies.find(name);
    return found == m_proxies.end() ? QList<Fault>() : found->second->options.faults;
}

bool ProxySet::datagrams(const QString &name) const {
    const auto found = m_proxies.find(name);
    return found != m_proxies.end() && found->second->end.udp;
}

// The new socket replaces the old one only once it listens, so a failure leaves all as it was.
ApiError ProxySet::open(Proxy &proxy, const ListenEnd &end) {
    Relay *relay = proxy.relay.get();
    quint16 port = 0;
    if (end.udp) {
        auto udp = std::make_unique<SocketControl>();
        udp->setProtocol(SocketControl::UdpProtocol);
        udp->setLocalAddress(end.address);
        udp->setLocalPort(end.port);
        if (!udp->Bind())
            return {500, u"listen %1: %2"_s.arg(proxy.definition.listen,
                                                failureText(udp->LastFailure()))};
        SocketControl *socket = udp.get();
        connect(socket, &SocketControl::DataArrival, relay,
                [relay, socket] { relay->takeDatagram(socket); });
        port = quint16(udp->LocalPort());
        proxy.udp = std::move(udp);
    } else {
        auto tcp = std::make_unique<TcpServer>();
        if (!tcp->listen(end.address, end.port))
            return {500,
                    u"listen %1: %2"_s.arg(proxy.definition.listen, failureText(tcp->failure()))};
        connect(tcp.get(), &TcpServer::connectionRequest, relay, &Relay::takeRequest);
        port = tcp->port();
        proxy.tcp = std::move(tcp);
    }
    proxy.end = end;
    proxy.end.port = port;
    proxy.definition.listen = endText(end.udp, SocketControl::DisplayEnd(end.address, port));
    return {};
}

void ProxySet::close(Proxy &proxy) {
    proxy.tcp.reset();
    proxy.udp.reset();
    proxy.relay->closeAll();
}

void ProxySet::apply(Proxy &proxy) {
    proxy.relay->setOptions(proxy.options);
}
