#pragma once

#include "model/pair_count.h"
#include "model/relay_options.h"
#include "net/network_options.h"
#include "net/tls_options.h"
#include "respond/response_rule.h"

#include <QObject>

#include <array>

// What a pair adds to its watch and response strings; the defaults make a plain pair: the whole
// chunk equal to the watch, the response as text with a line end, no delay.
struct PairOptions {
    MatchMode mode = MatchMode::Exact;
    bool responseHex = false;
    bool lineEnd = true;
    int delayMs = 0;

    bool operator==(const PairOptions &) const = default;
};

// How the listener listens and answers beyond what the form's boxes say: the network options
// (taken at each Start, and by a send at each send), each pair's options, and the rules after
// the seven pairs (the command line's rules file; never stored).
struct ListenerConfiguration {
    NetworkOptions network;
    std::array<PairOptions, PairCount> pairs{};
    QList<ResponseRule> extraRules;
    RelayOptions relay;
    // TLS of the TCP listener (taken at each Start) and of TCP client sends (at each send).
    TlsOptions tls;
    TlsOptions clientTls;
};

// The program's ListenerConfiguration, announcing the changes the auto-responder recompiles for.
class Configuration final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Configuration)

public:
    using QObject::QObject;

    const ListenerConfiguration &value() const { return m_value; }
    // Replaces the whole value; each pair whose options differ is announced, and the extra
    // rules when they differ.
    void setValue(const ListenerConfiguration &value);

    const NetworkOptions &network() const { return m_value.network; }
    void setNetwork(const NetworkOptions &network) { m_value.network = network; }
    const PairOptions &pairOptions(int pair) const { return m_value.pairs.at(std::size_t(pair)); }
    void setPairOptions(int pair, const PairOptions &options);
    const QList<ResponseRule> &extraRules() const { return m_value.extraRules; }
    void setExtraRules(const QList<ResponseRule> &rules);
    const RelayOptions &relay() const { return m_value.relay; }
    void setRelay(const RelayOptions &relay);
    const TlsOptions &tls() const { return m_value.tls; }
    void setTls(const TlsOptions &tls) { m_value.tls = tls; }
    const TlsOptions &clientTls() const { return m_value.clientTls; }
    void setClientTls(const TlsOptions &tls) { m_value.clientTls = tls; }

signals:
    void pairOptionsChanged(int pair);
    void extraRulesChanged();
    void relayChanged();

private:
    ListenerConfiguration m_value;
};
