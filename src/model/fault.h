#pragma once

#include "respond/response_rule.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <array>
#include <optional>

// The kinds of fault a relay can put on one direction of its links, by the names the control API
// and the faults file use ("latency", "slow_close", ...).
enum class FaultKind {
    Latency,   // latency, jitter (ms): each piece waits latency ± jitter, in order
    Bandwidth, // rate (KB/s, 1 KB = 1000 bytes; 0 leaves the way alone)
    Slicer,    // average_size, size_variation (bytes), delay (µs) between the slices
    Timeout,   // timeout (ms): nothing passes; the link is closed after it, never when 0
    Down,      // new pairs are refused and open ones closed (a whole proxy down)
    SlowClose, // delay (ms): a close is passed on that much later
    ResetPeer, // timeout (ms): both sides are reset (RST) that long after the fault began
    LimitData, // bytes: the link is closed once that many went this way
    Loss,      // percent, correlation (%), p and r (%, Gilbert-Elliott when p is above 0)
    Duplicate, // percent: a datagram goes twice
    Reorder,   // percent, delay (ms): a datagram held back by delay, the others pass it
    Corrupt,   // percent: a datagram with one bit flipped
};

// One attribute of a kind: its name, the largest value taken, and its unit for the operator.
struct FaultAttribute {
    const char *name;
    qint64 most;
    const char *unit;
};

struct FaultKindInfo {
    FaultKind kind;
    const char *name;
    bool streams;   // acts on TCP
    bool datagrams; // acts on UDP
    QList<FaultAttribute> attributes;
};

// Every kind, in the order of FaultKind.
const QList<FaultKindInfo> &faultKinds();
const FaultKindInfo &faultKindInfo(FaultKind kind);
std::optional<FaultKind> faultKindFromName(QStringView name);

// A named fault on one direction of a relay's links. Faults stack in the order they are listed.
struct Fault {
    static constexpr int MaxAttributes = 4;
    // A relay's faults in all, and the length of a name.
    static constexpr int MaxFaults = 32;
    static constexpr int MaxNameLength = 64;

    QString name;
    FaultKind kind = FaultKind::Latency;
    // From the listener's peer to the target ("upstream"), else back ("downstream").
    bool up = false;
    // The share of pairs (TCP) or datagrams (UDP) it acts on, 0 to 1.
    double toxicity = 1.0;
    bool enabled = true;
    // When `after.watch` is set, the fault starts once a chunk either way matches it (the mode
    // as an auto-respond pair's; the response is not used).
    ResponseRule after;
    // By the kind's attributes, in their order; the rest 0.
    std::array<qint64, MaxAttributes> values{};

    // The attribute's value; 0 for a name the kind does not have.
    qint64 value(QStringView attribute) const;
    // False for a name the kind does not have.
    bool setValue(QStringView attribute, qint64 value);
    bool operator==(const Fault &) const = default;
};

// What is wrong with the fault for a relay over UDP (`datagrams`) or TCP, empty when nothing is.
QString checkFault(const Fault &fault, bool datagrams);
// What is wrong with a relay's list (a name twice, too many, a fault that does not check).
QString checkFaults(const QList<Fault> &faults, bool datagrams);

// "latency 120 ms ± 10", "loss 30 %": the fault as the status line, the log and a capture's
// comment name what it does.
QString faultActionText(const Fault &fault);

// One line of text for a fault, read back by parseFault:
// "name=lat type=latency stream=downstream toxicity=0.5 latency=120 jitter=10", then
// "enabled=false" and "after=MODE:WATCH" where they are set ("after" last, to the line's end).
QString faultLine(const Fault &fault);
// Fills `fault` from such a line; what is wrong for the operator to read, empty when nothing is.
QString parseFault(const QString &line, Fault &fault);
