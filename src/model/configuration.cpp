#include "model/configuration.h"

void Configuration::setValue(const ListenerConfiguration &value) {
    m_value.network = value.network;
    m_value.tls = value.tls;
    m_value.clientTls = value.clientTls;
    for (int pair = 0; pair < PairCount; ++pair)
        setPairOptions(pair, value.pairs.at(std::size_t(pair)));
    if (value.extraRules != m_value.extraRules)
        setExtraRules(value.extraRules);
    setRelay(value.relay);
}

void Configuration::setPairOptions(int pair, const PairOptions &options) {
    PairOptions &held = m_value.pairs.at(std::size_t(pair));
    if (held == options)
        return;
    held = options;
    emit pairOptionsChanged(pair);
}

void Configuration::setExtraRules(const QList<ResponseRule> &rules) {
    m_value.extraRules = rules;
    emit extraRulesChanged();
}

void Configuration::setRelay(const RelayOptions &relay) {
    if (relay == m_value.relay)
        return;
    m_value.relay = relay;
    emit relayChanged();
}
