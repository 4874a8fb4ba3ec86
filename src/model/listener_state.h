#pragma once

#include "model/relay_options.h"
#include "net/network_options.h"
#include "net/socket_errors.h"

#include <QString>

// Where the listener is: closed, open and waiting, holding a TCP peer in its connection slot,
// or closed by a failure whose reason stays until the operator's next Start or Stop.
enum class ListenerPhase { Idle, Listening, PeerConnected, Failed };

// Why the listener failed, was closed or dropped a peer, as what happened; what is only known
// as words from below (the system's, the TLS library's) is kept as they came.
struct ListenerReason {
    enum class Kind {
        None,
        PortUnavailable,  // the port may be in use
        OptionsRefused,   // `detail`: what is wrong with the network options, or a group's join
        SystemRefused,    // `error`: the system's own reason, while an option is set
        TlsUnusable,      // `detail`: the listener's certificate or key
        RelayTlsUnusable, // `detail`: the relay target's TLS
        SocketError,      // `error`: closed the listener or, while Listening, the peer's connection
        SecureProblem,    // `detail`: a peer's failed handshake, or what DTLS dropped
        MonitorStopped,   // the status monitor found the socket in a bad state
    };
    Kind kind = Kind::None;
    WinsockError error = {};
    QString detail = {};

    bool operator==(const ListenerReason &) const = default;
};

// The listener's state as a value; the listener is its only writer and announces every change.
struct ListenerState {
    ListenerPhase phase = ListenerPhase::Idle;
    // The protocol chosen at the last Start; it holds until the next one.
    bool tcp = true;
    int port = 0;
    // The network options of the last Start, and whether it listens over TLS or DTLS.
    NetworkOptions network = {};
    bool secure = false;
    // The peer in the connection slot as "address:port" while PeerConnected; over DTLS, the
    // last peer secured.
    QString peer = {};
    // Failed: why. Listening: why the last peer's connection was closed, until the next Start.
    // Idle: why the status monitor closed it, until its next tick.
    ListenerReason reason = {};
    // Relay mode, while open: where the peers go and the pairs open.
    RelayOptions relay = {};
    int pairsOpen = 0;
    // PeerConnected over TLS, or Listening over DTLS: the last handshake's protocol, cipher and
    // peer as the TLS session sums them up, once it is done.
    QString security = {};
    // The Starts so far: a restart on the same port is a new opening, its old peer gone.
    int starts = 0;
    // UDP: the receive buffer the system granted, in KiB, when less than the options ask.
    int grantedReceiveBufferKiB = 0;

    bool open() const {
        return phase == ListenerPhase::Listening || phase == ListenerPhase::PeerConnected;
    }
    bool openTcp() const { return open() && tcp; }

    bool operator==(const ListenerState &) const = default;
};
