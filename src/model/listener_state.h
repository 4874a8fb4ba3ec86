#pragma once

#include <QString>

// Where the listener is: closed, open and waiting, holding a TCP peer in its connection slot,
// or closed by a failure whose text stays until the operator's next Start or Stop.
enum class ListenerPhase { Idle, Listening, PeerConnected, Failed };

// The listener's state as a value; the listener is its only writer and announces every change.
struct ListenerState {
    ListenerPhase phase = ListenerPhase::Idle;
    // The protocol chosen at the last Start; it holds until the next one.
    bool tcp = true;
    int port = 0;
    // What the network options add to the waiting text (empty while none is set).
    QString optionsNote;
    // The peer in the connection slot as "address:port" while PeerConnected; over DTLS, the
    // last peer secured.
    QString peer;
    // Failed: why. Listening: why the last peer's connection was closed, until the next Start.
    // Idle: why the status monitor closed it, until its next tick.
    QString reason;
    // Relay mode: what the waiting text adds (the target, the pairs open, the faults).
    QString relayNote = {};
    // PeerConnected over TLS, or Listening over DTLS: the last handshake's protocol, cipher and
    // peer, once it is done.
    QString security{};
    // The Starts so far: a restart on the same port is a new opening, its old peer gone.
    int starts = 0;

    bool open() const {
        return phase == ListenerPhase::Listening || phase == ListenerPhase::PeerConnected;
    }
    bool openTcp() const { return open() && tcp; }
    // The status line's text for this state.
    QString statusText() const;

    bool operator==(const ListenerState &) const = default;
};

// The send target's caption while the TCP listener has no peer.
inline const QString NoPeerSendCaption =
    QStringLiteral("TCP Server Mode Send IP Address: Unavailable, no current connection");

// What the send target's caption says: where a press of "Send Data" goes. `peerAddress` is the
// listener's peer's address while it can be sent to, else empty.
QString sendTargetCaption(const ListenerState &listener, const QString &peerAddress);
