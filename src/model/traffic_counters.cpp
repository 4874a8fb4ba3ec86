#include "model/traffic_counters.h"

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int SampleIntervalMs = 1000;

} // namespace

QString trafficLine(const TrafficSnapshot &s) {
    QString line;
    const auto add = [&line](const QString &name, const QString &value) {
        if (!line.isEmpty())
            line += u' ';
        line += name + u'=' + value;
    };
    const auto number = [&add](const QString &name, qint64 value) {
        add(name, QString::number(value));
    };
    add(u"connected_since"_s,
        s.connectedSince.isValid() ? s.connectedSince.toString(Qt::ISODate) : QString());
    number(u"received_bytes"_s, s.receivedBytes);
    number(u"received_chunks"_s, s.receivedChunks);
    number(u"sent_reply_bytes"_s, s.sentReplyBytes);
    number(u"sent_send_bytes"_s, s.sentSendBytes);
    number(u"sent_http_bytes"_s, s.sentHttpBytes);
    number(u"rate_bytes_per_s"_s, s.rate);
    number(u"peak_rate_bytes_per_s"_s, s.peakRate);
    for (int pair = 0; pair < PairCount; ++pair)
        number(u"answers_pair"_s + QString::number(pair + 1), s.pairAnswers[std::size_t(pair)]);
    number(u"answers_rules"_s, s.ruleAnswers);
    number(u"log_written"_s, s.logWritten);
    number(u"log_failed"_s, s.logFailed);
    number(u"refused_while_connected"_s, s.refused);
    add(u"last_refused"_s, s.lastRefused);
    number(u"dropped_answers"_s, s.droppedAnswers);
    number(u"unsent_bytes"_s, s.unsentBytes);
    number(u"dropped_peers"_s, s.droppedPeers);
    if (s.relaying) {
        number(u"relay_up_bytes"_s, s.relayUpBytes);
        number(u"relay_up_chunks"_s, s.relayUpChunks);
        number(u"relay_down_bytes"_s, s.relayDownBytes);
        number(u"relay_down_chunks"_s, s.relayDownChunks);
        number(u"relay_refused"_s, s.relayRefused);
        number(u"relay_dropped"_s, s.relayDropped);
    }
    if (s.udpListening)
        number(u"udp_dropped_by_system"_s, s.udpDroppedBySystem);
    // A fault's name holds no blank, so each stays one name=value pair.
    for (auto fault = s.faultActs.cbegin(); fault != s.faultActs.cend(); ++fault)
        number(u"fault_"_s + fault.key(), fault.value());
    return line;
}

TrafficCounters::TrafficCounters(QObject *parent) : QObject(parent) {
    m_sinceSample.start();
    m_timer.setInterval(SampleIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &TrafficCounters::sample);
    m_timer.start();
}

void TrafficCounters::countRefused(const QString &refusedPeer, const QString &connectedPeer) {
    if (connectedPeer.isEmpty())
        return;
    ++m_now.refused;
    m_now.lastRefused = refusedPeer;
}

// The timer may fire late on a busy loop: the rate is taken over the time that really passed.
void TrafficCounters::sample() {
    const qint64 elapsedMs = std::max<qint64>(1, m_sinceSample.restart());
    m_now.rate = (m_now.receivedBytes - m_sampledBytes) * 1000 / elapsedMs;
    m_now.peakRate = std::max(m_now.peakRate, m_now.rate);
    m_sampledBytes = m_now.receivedBytes;
    emit sampled();
}

void TrafficCounters::reset() {
    TrafficSnapshot zero;
    zero.connectedSince = m_now.connectedSince;
    zero.relaying = m_now.relaying;
    zero.udpListening = m_now.udpListening;
    m_now = zero;
    m_sampledBytes = 0;
    m_sinceSample.restart();
    emit sampled();
}
