#include "listener/relay.h"

#include "listener/relay_pair.h"
#include "listener/relay_way.h"
#include "model/received_entries.h"
#include "net/posix_descriptors.h"
#include "net/relay_stream.h"
#include "net/socket_control.h"
#include "net/udp_endpoint.h"

#include <QDateTime>
#include <QHostInfo>

namespace {

constexpr int SweepMs = 1000;
// How often the named faults' acts are told, at most.
constexpr int ActsMs = 250;

} // namespace

Relay::Relay(qint64 heldBound, QObject *parent)
    : QObject(parent), m_budget(std::make_shared<RelayBudget>(heldBound)) {
    connect(m_budget.get(), &RelayBudget::firstRefused, this, [this] {
        emit note(QStringLiteral("Relay: %1 bytes wait in all already; more datagrams are "
                                 "dropped until half of them have gone on")
                      .arg(m_budget->total()));
    });
    m_sweep.setInterval(SweepMs);
    connect(&m_sweep, &QTimer::timeout, this, &Relay::sweepIdle);
    m_actsTimer.setInterval(ActsMs);
    connect(&m_actsTimer, &QTimer::timeout, this, &Relay::tellActs);
}

Relay::~Relay() {
    // Nobody is told any more: those who listen may be going too.
    blockSignals(true);
    closeAll();
}

void Relay::setOptions(const RelayOptions &options) {
    const bool newTarget =
        options.targetHost != m_options.targetHost || options.targetPort != m_options.targetPort;
    if (options.faults != m_options.faults)
        m_faultsTold.clear();
    m_options = options;
    if (newTarget)
        m_udpTarget.clear();
    m_triggers.setFaults(options.faults);
    if (options.faults.isEmpty())
        m_actsTimer.stop();
    else
        m_actsTimer.start();
    applyFaults();
}

void Relay::applyFaults() {
    const QList<Fault> up = m_triggers.acting(true);
    const QList<Fault> down = m_triggers.acting(false);
    for (RelayPair *pair : std::as_const(m_pairs))
        pair->setFaults(m_options, up, down);
    for (auto &[key, mapping] : m_mappings) {
        mapping.up->setFaults(m_options.up, up);
        mapping.down->setFaults(m_options.down, down);
    }
    if (m_triggers.down() && pairsOpen() > 0) {
        emit note(QStringLiteral("Relay: every pair closed: the relay is down by a fault"));
        closeAll();
    }
}

void Relay::watch(QByteArrayView chunk) {
    if (m_triggers.look(chunk))
        applyFaults();
}

bool Relay::keptOutByDown() {
    if (!m_triggers.down())
        return false;
    for (const Fault &fault : m_options.faults) {
        if (fault.enabled && fault.kind == FaultKind::Down)
            ++m_pendingActs[fault.name];
    }
    return true;
}

void Relay::tellActs() {
    QMap<QString, qint64> acts = std::exchange(m_pendingActs, {});
    for (RelayPair *pair : std::as_const(m_pairs))
        pair->takeActs(acts);
    for (auto &[key, mapping] : m_mappings) {
        mapping.up->takeActs(acts);
        mapping.down->takeActs(acts);
    }
    if (acts.isEmpty())
        return;
    for (auto act = acts.cbegin(); act != acts.cend(); ++act) {
        if (m_faultsTold.contains(act.key()))
            continue;
        m_faultsTold.insert(act.key());
        for (const Fault &fault : std::as_const(m_options.faults)) {
            if (fault.name == act.key())
                emit note(QStringLiteral("Relay: the fault %1 acts (%2, %3)")
                              .arg(fault.name,
                                   fault.up ? QStringLiteral("up") : QStringLiteral("down"),
                                   faultActionText(fault)));
        }
    }
    emit faultsActed(acts);
}

void Relay::setTls(std::shared_ptr<const TlsContext> listen,
                   std::shared_ptr<const TlsContext> target) {
    m_listenTls = std::move(listen);
    m_targetTls = std::move(target);
}

void Relay::takeRequest(qintptr requestID) {
    if (keptOutByDown())
        return; // not taken up, so closed
    if (m_pairs.size() >= MaxPairs) {
        emit refusedOne();
        const auto [address, port] = connectionPeer(requestID);
        emit note(QStringLiteral("Relay: %1 refused: %2 pairs are open already")
                      .arg(SocketControl::DisplayEnd(address, port))
                      .arg(MaxPairs));
        return;
    }
    RelayStream *client = RelayStream::fromRequest(requestID, this, m_listenTls);
    if (!client)
        return;
    auto *pair = new RelayPair(
        client, m_options,
        [this](ReceivedChunk chunk, Link &from, bool up) {
            return m_record && m_record(std::move(chunk), from, up);
        },
        m_budget, m_targetTls, this);
    pair->setFaults(m_options, m_triggers.acting(true), m_triggers.acting(false));
    pair->setWatch([this](QByteArrayView chunk) { watch(chunk); });
    connect(pair, &RelayPair::note, this, &Relay::note);
    m_pairs.append(pair);
    connect(pair, &RelayPair::finished, this, [this, pair](const QString &text) {
        pair->takeActs(m_pendingActs); // its last acts, told with the next
        m_pairs.removeOne(pair);
        pair->deleteLater();
        if (!text.isEmpty())
            emit note(text);
        emit pairsChanged(pairsOpen());
    });
    emit pairsChanged(pairsOpen());
}

void Relay::closeAll() {
    const bool open = pairsOpen() > 0;
    const QList<RelayPair *> pairs = std::exchange(m_pairs, {});
    for (RelayPair *pair : pairs) {
        pair->disconnect(this);
        pair->close();
        pair->deleteLater();
    }
    while (!m_mappings.empty())
        dropMapping(m_mappings.begin()->first);
    m_sweep.stop();
    if (open)
        emit pairsChanged(0);
}

void Relay::lookUpUdpTarget() {
    const QHostAddress literal(m_options.targetHost);
    if (!literal.isNull()) {
        m_udpTarget = literal;
        return;
    }
    if (std::exchange(m_lookingUp, true))
        return;
    QHostInfo::lookupHost(m_options.targetHost, this, [this](const QHostInfo &info) {
        m_lookingUp = false;
        if (info.addresses().isEmpty())
            emit note(QStringLiteral("Relay: the target %1 was not found: %2")
                          .arg(m_options.targetText(), failureText(winsockError(11001))));
        else
            m_udpTarget = info.addresses().constFirst();
    });
}

void Relay::takeDatagram(SocketControl *listener) {
    const QByteArray data = listener->GetData();
    if (keptOutByDown())
        return;
    const QHostAddress client(listener->RemoteHostIP());
    const auto clientPort = quint16(listener->PeerPort());
    if (m_udpTarget.isNull())
        lookUpUdpTarget();
    if (m_udpTarget.isNull())
        return; // a name still being looked up: UDP may lose what comes meanwhile
    Mapping *mapping = mappingFor(listener, client, clientPort);
    if (!mapping)
        return;
    mapping->idle.start();
    ReceivedChunk chunk{data,
                        QDateTime::currentDateTime(),
                        SocketControl::DisplayAddress(client),
                        clientPort,
                        SocketControl::DisplayAddress(m_udpTarget),
                        m_options.targetPort};
    chunk.datagram = true;
    WayPiece piece{data, {}};
    chunk.faultNote = mapping->up->judge(piece);
    if (!m_record || !m_record(std::move(chunk), *mapping->client, true)) {
        if (!mapping->up->push(std::move(piece)))
            emit droppedOne();
    }
    watch(data);
}

Relay::Mapping *Relay::mappingFor(SocketControl *listener, const QHostAddress &client,
                                  quint16 port) {
    const ClientKey key{client.toString(), port};
    const auto found = m_mappings.find(key);
    if (found != m_mappings.end())
        return &found->second;
    if (int(m_mappings.size()) >= MaxMappings) {
        emit refusedOne();
        if (!std::exchange(m_mappingsFull, true))
            emit note(QStringLiteral("Relay: %1 refused: %2 clients are mapped already; more are "
                                     "dropped until one is idle")
                          .arg(SocketControl::DisplayEnd(client, port))
                          .arg(MaxMappings));
        return nullptr;
    }
    m_mappingsFull = false;
    auto *endpoint = new UdpEndpoint(this);
    if (!endpoint->bind(QHostAddress(), 0, {})) {
        emit note(
            QStringLiteral("Relay: %1 refused: %2")
                .arg(SocketControl::DisplayEnd(client, port), failureText(endpoint->failure())));
        delete endpoint;
        return nullptr;
    }
    Mapping &mapping = m_mappings[key];
    mapping.endpoint = endpoint;
    const QHostAddress target = m_udpTarget;
    const quint16 targetPort = m_options.targetPort;
    const QPointer<SocketControl> back(listener);
    mapping.client = std::make_shared<DatagramLink>(
        client, port, [back](const QByteArray &data, const QHostAddress &to, quint16 toPort) {
            return back && back->SendDatagramTo(data, to, toPort);
        });
    mapping.target = std::make_shared<DatagramLink>(
        target, targetPort,
        [endpoint](const QByteArray &data, const QHostAddress &to, quint16 toPort) {
            return endpoint->send(data, to, toPort);
        });
    wireWays(mapping, key, SocketControl::DisplayEnd(client, port));
    connect(endpoint, &UdpEndpoint::datagramArrived, this, [this, endpoint, key, client, port] {
        takeTargetDatagram(endpoint, key, client, port);
    });
    if (!m_sweep.isActive())
        m_sweep.start();
    emit pairsChanged(pairsOpen());
    return &mapping;
}

// A mapping's two ways, through its links, under the relay's faults.
void Relay::wireWays(Mapping &mapping, const ClientKey &key, const QString &end) {
    mapping.down = new RelayWay(
        true, [link = mapping.client](const QByteArray &data) { link->send(data); }, m_budget,
        mapping.endpoint);
    mapping.up = new RelayWay(
        true, [link = mapping.target](const QByteArray &data) { link->send(data); }, m_budget,
        mapping.endpoint);
    mapping.up->setFaults(m_options.up, m_triggers.acting(true));
    mapping.down->setFaults(m_options.down, m_triggers.acting(false));
    for (RelayWay *way : {mapping.up, mapping.down}) {
        connect(way, &RelayWay::droppedLater, this, &Relay::droppedOne);
        connect(way, &RelayWay::endedBy, this,
                [this, key, end](const QString &fault, const QString &action) {
                    endMapping(key, end, fault, action);
                });
    }
}

// Only the target's answers go back; anyone else who finds the port is ignored.
void Relay::takeTargetDatagram(UdpEndpoint *endpoint, const ClientKey &key,
                               const QHostAddress &client, quint16 port) {
    const QByteArray data = endpoint->takeDatagram();
    const auto found = m_mappings.find(key);
    if (found == m_mappings.end() || endpoint->senderPort() != m_options.targetPort
        || !endpoint->senderAddress().isEqual(m_udpTarget, QHostAddress::TolerantConversion))
        return;
    found->second.idle.start();
    ReceivedChunk chunk{data,
                        QDateTime::currentDateTime(),
                        SocketControl::DisplayAddress(m_udpTarget),
                        m_options.targetPort,
                        SocketControl::DisplayAddress(client),
                        port};
    chunk.datagram = true;
    WayPiece piece{data, {}};
    chunk.faultNote = found->second.down->judge(piece);
    if (!m_record || !m_record(std::move(chunk), *found->second.target, false)) {
        if (!found->second.down->push(std::move(piece)))
            emit droppedOne();
    }
    watch(data);
}

void Relay::endMapping(const ClientKey &key, const QString &client, const QString &fault,
                       const QString &action) {
    if (!m_mappings.contains(key))
        return;
    dropMapping(key);
    emit note(QStringLiteral("Relay: %1 -> %2 let go by the fault %3 (%4)")
                  .arg(client, m_options.targetText(), fault, action));
    emit pairsChanged(pairsOpen());
}

void Relay::dropMapping(const ClientKey &key) {
    const auto found = m_mappings.find(key);
    if (found == m_mappings.end())
        return;
    // Its last acts, told with the next.
    found->second.up->takeActs(m_pendingActs);
    found->second.down->takeActs(m_pendingActs);
    UdpEndpoint *endpoint = found->second.endpoint;
    m_mappings.erase(found);
    endpoint->disconnect(this);
    endpoint->close();
    endpoint->deleteLater();
}

void Relay::sweepIdle() {
    QList<ClientKey> idle;
    for (const auto &[key, mapping] : m_mappings) {
        if (mapping.idle.hasExpired(m_options.udpIdleMs))
            idle.append(key);
    }
    for (const ClientKey &key : std::as_const(idle))
        dropMapping(key);
    if (!idle.isEmpty())
        emit pairsChanged(pairsOpen());
    if (m_mappings.empty())
        m_sweep.stop();
}
