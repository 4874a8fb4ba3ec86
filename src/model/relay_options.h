#pragma once

#include "model/fault.h"

#include <QList>
#include <QString>
#include <QtGlobal>

// How one direction of a relay bends the link on purpose; every field at 0 leaves it alone.
struct LinkFaults {
    static constexpr int MaxDelayMs = 600000;
    static constexpr qint64 MaxRate = qint64(1) << 40;

    int delayMinMs = 0;
    int delayMaxMs = 0;       // a range when above delayMinMs, each chunk its own delay within it
    int dropPercent = 0;      // UDP datagrams
    qint64 ratePerSecond = 0; // bytes a second at most; 0 without a cap
    qint64 cutAfter = 0;      // TCP: the pair is cut once this many bytes went this way

    bool any() const {
        return delayMaxMs > 0 || dropPercent > 0 || ratePerSecond > 0 || cutAfter > 0;
    }
    bool operator==(const LinkFaults &) const = default;
};

// The relay: where the listener's peers are passed on to, and the faults each way ("up" from the
// listener's peer to the target, "down" back). No target: the listener is a plain listener.
struct RelayOptions {
    static constexpr int DefaultUdpIdleMs = 60000;

    QString targetHost;
    quint16 targetPort = 0;
    LinkFaults up;
    LinkFaults down;
    int udpIdleMs = DefaultUdpIdleMs;
    // TCP: the relay talks TLS to the target (with the client's TLS options) and reads it in the
    // clear; its peers' side is secured when the listener is.
    bool targetTls = false;
    // Named faults, stacked in order after each way's faults above.
    QList<Fault> faults;

    bool active() const { return !targetHost.isEmpty(); }
    // "host:port", an IPv6 address in brackets.
    QString targetText() const;
    bool operator==(const RelayOptions &) const = default;
};

// Each parse answers what is wrong for the operator to read, empty when nothing is, and fills its
// result only then.
// "HOST:PORT" or "[IPV6]:PORT", port 1-65535.
QString parseRelayTarget(const QString &text, RelayOptions &options);
// "MS" or "MS-MS".
QString parseDelay(const QString &text, LinkFaults &faults);
QString parseDropPercent(const QString &text, LinkFaults &faults);
QString parseRate(const QString &text, LinkFaults &faults);
QString parseCut(const QString &text, LinkFaults &faults);

// The stored and shown form of each fault, parsed back by the calls above; "0" when off.
QString delayText(const LinkFaults &faults);

// What the status line adds while faults are on, as " (up: delay 50 ms, down: drop 10 %)";
// empty while none is.
QString linkFaultsText(const RelayOptions &options);
// What the listener's waiting text adds in relay mode, as ", relaying to 10.0.0.5:502, 3 pairs
// open" and the faults; empty while no target is set.
QString relayStatusText(const RelayOptions &options, int pairsOpen);
