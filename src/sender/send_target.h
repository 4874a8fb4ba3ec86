#pragma once

#include "net/socket_control.h"
#include "net/tls_words.h"
#include "runtime/wait_cycle.h"

#include <QString>
#include <optional>

class FileSend;
class QByteArray;
class Sender;
struct NetworkOptions;
struct TlsOptions;
class Form;
class SocketArray;
class SocketControl;
struct ListenerState;
struct Sockets;

// What a press of "Send Data" and a file send share: where the bytes go and what became of them.
enum class SendOutcome {
    None, // nothing sent yet
    Sent,
    NoActiveConnection,
    SocketClosed,
    CouldntConnect,
    CouldntOpenUdp,
    SendFailed,
    Cancelled, // a file send, part of it handed to the system
};

// How long a client send waits, in cycles of a counted wait: for its connection, for the name
// it sends to (which the lookup bounds by itself; this only backs that up), and lingering for
// answers before it closes.
inline constexpr int ConnectWaitCycles = 60;
inline constexpr int LookupWaitCycles = SocketControl::LookupTimeoutMs / WaitCycleMs + 10;
inline constexpr int LingerCycles = 10;
// A handshake gives up by itself; this only backs that up.
inline constexpr int HandshakeSpareCycles = 20;
inline constexpr int HandshakeWaitCycles = HandshakeLimitMs / WaitCycleMs + HandshakeSpareCycles;

// The connected peer of the TCP listener: the connection slot, or element 0 when it alone is
// loaded; nothing when the array holds neither arrangement.
SocketControl *peerElement(const SocketArray *listenSock);

// Whether a press of "Send Data" can start a send now: not while a client send (of the send box
// or of a file) holds it, nor while the TCP listener has no peer that can be sent to.
bool sendCanStart(const ListenerState &listener, const Sender &sender, const FileSend &fileSend);

// Whether a send goes over TCP: the protocol the listener was opened with while it is open,
// otherwise the operator's choice.
bool sendsTcp(const Form &form, const ListenerState &listener);

// The port box is shared with the listener; a client can only reach ports 1-65535, and a text
// that is no such number must not quietly reuse the port of an earlier send.
std::optional<int> clientPort(const Form &form);

// The host a client send goes to, as the send address box holds it.
QString clientHost(const Form &form);

// Aims the client socket, closed, at the form's host and `port` for UDP, with the broadcast, TTL
// and multicast interface of the network options, without DTLS; false when no interface has the
// name asked for.
bool aimUdpClient(const Form &form, const NetworkOptions &options, SocketControl *sock, int port);

// One datagram to where the client socket is aimed, from the UDP listener's own port when the
// options ask for it (so that the answer comes back to the received-data box). When it was not
// sent, `why` holds the system's reason, if it gave one.
bool sendClientDatagram(const NetworkOptions &options, const Sockets &sockets,
                        const QByteArray &data, QString &why);

// Aims the closed client socket at the form's host and `port` over TCP, with TLS when the
// client's TLS options are on; false, with `why` saying what is wrong with them, when their
// files cannot be used (nothing is then sent).
bool aimTcpClient(const Form &form, const TlsOptions &tls, SocketControl *sock, int port,
                  QString &why);

// Makes the aimed UDP client socket a DTLS client when the client's TLS options are on, unless
// its datagrams go from the listener's port (whose own sessions they then use); false, with
// `why`, when the options' files cannot be used.
bool secureUdpClient(const TlsOptions &tls, const NetworkOptions &options, const Sockets &sockets,
                     QString &why);

// Why a client connection failed, in words, when it was its TLS handshake; else empty.
QString secureFailure(const SocketControl *sock);
// A UDP client's DTLS handshake is over and its server verified: its datagrams may go.
bool datagramsSecured(const SocketControl *sock);

// What the operator is told of a datagram that was not sent, with the way to allow a broadcast
// when the system refused one.
QString datagramNotSentText(const NetworkOptions &options, const QString &why);
