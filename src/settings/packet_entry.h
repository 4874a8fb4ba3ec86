#pragma once

#include "respond/response_rule.h"

#include <QList>
#include <QString>

#include <optional>

// Where a saved packet goes: a TCP or UDP client connection of its own, or the TCP peer of the
// listener. Read and written here only, so another kind of target is one more case here.
struct PacketTarget {
    enum class Kind : quint8 { None, Tcp, Udp, Peer };
    Kind kind = Kind::None;
    QString host;
    int port = 0;
    bool tls = false; // TCP only: verified with the client TLS options, the host as SNI

    // "tcp HOST:PORT", "udp HOST:PORT", "peer"; empty for None.
    QString text() const;
    // The text with " tls" after it for a secure one: how lists and result lines name it.
    QString label() const;
    // The target a `to` value names (any letter case for the kind); an empty text is None.
    // Nothing, with `error` saying why, for anything else.
    static std::optional<PacketTarget> fromText(QStringView text, QString *error);
    bool operator==(const PacketTarget &) const = default;
};

// One step of a sequence: "send PACKET", "wait MS" or "expect MODE TEXT within MS".
struct SequenceStep {
    static constexpr int DefaultWithinMs = 5000;
    static constexpr int MaxMs = 3'600'000;

    enum class Kind : quint8 { Send, Wait, Expect };
    Kind kind = Kind::Send;
    QString packet;
    int ms = 0; // wait: how long; expect: how long at most
    MatchMode mode = MatchMode::Contains;
    QString text; // what an expect looks for, as a watch string of that mode

    QString toText() const;
    static std::optional<SequenceStep> fromText(QStringView text, QString *error);
    bool operator==(const SequenceStep &) const = default;
};

// A saved packet (data, with tokens and computed fields, or hex pairs) or a sequence (steps,
// run `repeat` times; 0: until stopped).
struct PacketEntry {
    QString name;
    QString data;
    bool hex = false;
    PacketTarget to;
    QList<SequenceStep> steps;
    int repeat = 1;
    int pin = 0; // Alt+1..Alt+9 runs it; 0: none

    bool isSequence() const { return !steps.isEmpty(); }
    // TLS is for a packet sent to a tcp target.
    bool tlsFits() const {
        return !to.tls || (!isSequence() && to.kind == PacketTarget::Kind::Tcp);
    }
    // Where it goes and what it sends, in one line for a list.
    QString preview() const;
    bool operator==(const PacketEntry &) const = default;
};

// A name a section can have: not empty, no ']', no line break, no blanks at either end.
bool validPacketName(const QString &name);
