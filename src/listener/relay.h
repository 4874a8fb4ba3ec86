#pragma once

#include "listener/fault_triggers.h"
#include "listener/relay_budget.h"
#include "listener/relay_pair.h"
#include "model/relay_options.h"
#include "net/datagram_link.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <utility>

class RelayWay;
class RelayPair;
class SocketControl;
class TlsContext;
class UdpEndpoint;
struct ReceivedChunk;

// Relay mode: while a target is set, each TCP peer of the listener is passed on to the target
// over a connection of its own (at most MaxPairs at once, past that refused with a note), and
// each UDP client gets a socket of its own towards the target (a mapping, at most MaxMappings,
// let go after the idle timeout), whose answers go back to that client from the listener's port.
// Both ways of every pair and mapping are announced chunk by chunk. What their links keep waiting
// and their TCP sides have still to write is drawn from one budget.
class Relay final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Relay)

public:
    static constexpr int MaxPairs = 64;
    static constexpr int MaxMappings = 256;

    // Each chunk of either way is recorded; one the record answers goes no further.
    using Record = RelayPair::Record;

    // `heldBound`: what all pairs and mappings may hold at once.
    explicit Relay(qint64 heldBound = RelayBudget::TotalBytes, QObject *parent = nullptr);
    void setRecord(Record record) { m_record = std::move(record); }
    ~Relay() override;

    const RelayOptions &options() const { return m_options; }
    // Faults take effect at once on every pair and mapping; a new target from the next peer on.
    void setOptions(const RelayOptions &options);
    bool active() const { return m_options.active(); }

    // TLS ended by the relay for new pairs: towards its peers (the listener's server context),
    // towards the target (a client context); null for plain TCP.
    void setTls(std::shared_ptr<const TlsContext> listen, std::shared_ptr<const TlsContext> target);
    const std::shared_ptr<const TlsContext> &targetTls() const { return m_targetTls; }
    // A TCP connection request of the listener; not taken up (so closed) past MaxPairs.
    void takeRequest(qintptr requestID);
    // The datagram the UDP listener holds (GetData, RemoteHostIP, PeerPort).
    void takeDatagram(SocketControl *listener);
    // Lets every pair and mapping go: the listener stopped.
    void closeAll();
    int pairsOpen() const { return int(m_pairs.size() + m_mappings.size()); }
    const RelayBudget &budget() const { return *m_budget; }

signals:
    // A line for the record and the status: a refused peer, a target that cannot be reached.
    void note(const QString &text);
    void pairsChanged(int open);
    // A peer refused past the bounds; a datagram the drop fault or a bound took.
    void refusedOne();
    void droppedOne();
    // How often each named fault acted since the last time this was told, a few times a second
    // at most while any acts.
    void faultsActed(const QMap<QString, qint64> &acts);

private:
    struct Mapping {
        UdpEndpoint *endpoint = nullptr;
        RelayWay *up = nullptr;
        RelayWay *down = nullptr;
        // The client as reached through the listener, the target through the endpoint; shared
        // with the ways, which may still deliver while the endpoint goes.
        std::shared_ptr<DatagramLink> client;
        std::shared_ptr<DatagramLink> target;
        QElapsedTimer idle;
    };
    using ClientKey = std::pair<QString, quint16>;
    Mapping *mappingFor(SocketControl *listener, const QHostAddress &client, quint16 port);
    void takeTargetDatagram(UdpEndpoint *endpoint, const ClientKey &key, const QHostAddress &client,
                            quint16 port);
    void wireWays(Mapping &mapping, const ClientKey &key, const QString &end);
    void dropMapping(const ClientKey &key);
    // A named fault ended the mapping of `client` ("address:port").
    void endMapping(const ClientKey &key, const QString &client, const QString &fault,
                    const QString &action);
    void sweepIdle();
    void lookUpUdpTarget();
    // Hands each way the named faults that act now; lets every pair go while `down` acts.
    void applyFaults();
    // After a chunk went on: a watch it matches starts its faults.
    void watch(QByteArrayView chunk);
    // Refuses what a `down` fault keeps out; true when it did.
    bool keptOutByDown();
    void tellActs();

    Record m_record;
    // Shared with the links, which may outlive this a little (deleted later).
    std::shared_ptr<RelayBudget> m_budget;
    RelayOptions m_options;
    std::shared_ptr<const TlsContext> m_listenTls;
    std::shared_ptr<const TlsContext> m_targetTls;
    QList<RelayPair *> m_pairs;
    std::map<ClientKey, Mapping> m_mappings;
    QHostAddress m_udpTarget;
    bool m_lookingUp = false;
    QTimer m_sweep;
    bool m_mappingsFull = false; // the last new client was turned away
    FaultTriggers m_triggers;
    QTimer m_actsTimer;
    QMap<QString, qint64> m_pendingActs; // down faults' acts, and those of pairs that went
    QSet<QString> m_faultsTold;          // the named faults whose first act was noted
};
