#pragma once

#include "model/pair_count.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <array>

// Which share of the sent bytes a send belongs to.
enum class SentKind {
    Reply, // auto-answers, delayed ones included
    Send,  // Send Data: to the listener's peer, as a TCP client or a UDP client
    Http,  // the 404 to a GET or PUT
};

// The counters at one moment, as the statistics window and --stats show them.
struct TrafficSnapshot {
    // When the current TCP peer connected, or when the UDP listener opened; not valid while no
    // peer is connected (TCP) or nothing listens.
    QDateTime connectedSince;
    qint64 receivedBytes = 0;
    qint64 receivedChunks = 0;
    qint64 sentReplyBytes = 0;
    qint64 sentSendBytes = 0;
    qint64 sentHttpBytes = 0;
    qint64 rate = 0;     // bytes received per second over the last second
    qint64 peakRate = 0; // the highest rate since the counters were reset
    std::array<qint64, PairCount> pairAnswers{};
    qint64 ruleAnswers = 0; // every rule after the pairs (a rules file) together
    qint64 logWritten = 0;
    qint64 logFailed = 0;
    qint64 refused = 0;        // connections refused while a peer was connected
    QString lastRefused;       // the last of them, as "address:port"
    qint64 droppedAnswers = 0; // delayed answers past their bound
    qint64 unsentBytes = 0;    // accepted for a peer, then lost when its connection ended
    qint64 droppedPeers = 0;   // peers closed for not reading (10055) or a late handshake
    // Relay mode only: each way's bytes and chunks, peers refused past the bound.
    bool relaying = false;
    qint64 relayUpBytes = 0;
    qint64 relayUpChunks = 0;
    qint64 relayDownBytes = 0;
    qint64 relayDownChunks = 0;
    qint64 relayRefused = 0;
    qint64 relayDropped = 0; // datagrams the drop fault or a bound took
    // While a UDP listener is open: datagrams the system dropped before the program read them
    // (its receive buffer was full).
    bool udpListening = false;
    qint64 udpDroppedBySystem = 0;
    // How often each named fault of the relay acted (a piece delayed, dropped, cut...), by name.
    QMap<QString, qint64> faultActs;
};

// The counters as one line of name=value pairs, in a fixed order; no value holds a blank, and
// an empty value stands for nothing (no connection, no refused peer).
QString trafficLine(const TrafficSnapshot &snapshot);

// What the program received and sent since the counters were last reset. The subsystems count
// with one inline call each on their own paths (no signal and no allocation per chunk); a timer
// samples the received bytes once a second for the rate and tells the views.
class TrafficCounters final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrafficCounters)

public:
    explicit TrafficCounters(QObject *parent = nullptr);

    void countReceived(qint64 bytes) {
        m_now.receivedBytes += bytes;
        ++m_now.receivedChunks;
    }
    // Bytes handed to the system; a send that failed counts nothing.
    void countSent(SentKind kind, qint64 bytes) {
        switch (kind) {
        case SentKind::Reply:
            m_now.sentReplyBytes += bytes;
            break;
        case SentKind::Send:
            m_now.sentSendBytes += bytes;
            break;
        case SentKind::Http:
            m_now.sentHttpBytes += bytes;
            break;
        }
    }
    // An answer that went out; `rule` as Answer::rule numbers it (the pairs from 0, then the
    // extra rules).
    void countAnswer(int rule) {
        if (rule >= 0 && rule < PairCount)
            ++m_now.pairAnswers[std::size_t(rule)];
        else
            ++m_now.ruleAnswers;
    }
    void countDroppedAnswer() { ++m_now.droppedAnswers; }
    void countUnsent(qint64 bytes) { m_now.unsentBytes += bytes; }
    void countDroppedPeer() { ++m_now.droppedPeers; }
    void setRelaying(bool on) { m_now.relaying = on; }
    void countRelayed(bool up, qint64 bytes) {
        ++(up ? m_now.relayUpChunks : m_now.relayDownChunks);
        (up ? m_now.relayUpBytes : m_now.relayDownBytes) += bytes;
    }
    void countRelayRefused() { ++m_now.relayRefused; }
    void countRelayDropped() { ++m_now.relayDropped; }
    void setUdpListening(bool on) { m_now.udpListening = on; }
    void countSystemDrops(qint64 datagrams) { m_now.udpDroppedBySystem += datagrams; }
    void countFaultActs(const QString &fault, qint64 acts) { m_now.faultActs[fault] += acts; }
    void countLogEntry(bool written) { ++(written ? m_now.logWritten : m_now.logFailed); }
    // Told of each Listener::connectionRefused; a request refused for another reason than a
    // connected peer is not counted.
    void countRefused(const QString &refusedPeer, const QString &connectedPeer);

    // A TCP peer was taken up, or the UDP listener opened, at `when`.
    void connectedAt(const QDateTime &when) { m_now.connectedSince = when; }
    // The listener stopped, which also lets the TCP peer go.
    void disconnected() { m_now.connectedSince = {}; }

    TrafficSnapshot snapshot() const { return m_now; }
    // Every count back to 0; "connected since" is a state, not a count, and stays.
    void reset();

signals:
    // Once a second, after the rate was taken, and after a reset.
    void sampled();

private:
    void sample();

    TrafficSnapshot m_now;
    qint64 m_sampledBytes = 0;
    QElapsedTimer m_sinceSample;
    QTimer m_timer;
};
