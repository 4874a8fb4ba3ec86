#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

#include "net/deferred_deletion.h"
#include "net/dtls_endpoint.h"
#include "net/link.h"
#include "net/socket_errors.h"
#include "net/tcp_connection.h"
#include "net/tcp_server.h"
#include "net/tls_context.h"
#include "net/tls_words.h"
#include "net/udp_endpoint.h"

// One event-driven TCP or UDP socket with a numbered state (0-9) and three events, in front of
// a TCP server, a TCP connection or a UDP endpoint.
// Calls that cannot be carried out return false and change nothing; later failures arrive as
// Error. Everything runs on the thread that owns the object.
// As a link it is the listener's TCP peer (the connection slot), the UDP listener's far end (the
// last datagram's sender) or a client's connection; its own callers use its own names.
class SocketControl final : public QObject, public Link {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SocketControl)

public:
    enum ProtocolKind : int { TcpProtocol = 0, UdpProtocol = 1 };
    enum class StateCode : int {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Failed = 9,
    };
    Q_ENUM(StateCode)
    // Written SocketControl::Connected, yet never taken for a plain number.
    using enum StateCode;

    // Replaceable, so tests never ask a name server.
    using HostLookup = UdpEndpoint::HostLookup;
    static constexpr int LookupTimeoutMs = UdpEndpoint::LookupTimeoutMs;

    explicit SocketControl(QObject *parent = nullptr);
    ~SocketControl() override;

    void setHostLookup(HostLookup lookup);

    ProtocolKind Protocol() const;
    bool setProtocol(ProtocolKind protocol); // only while closed
    int LocalPort() const;       // after Listen/Bind on port 0: the port the system chose
    bool setLocalPort(int port); // 0..65535
    QString RemoteHost() const;
    bool setRemoteHost(const QString &host);
    int RemotePort() const;
    bool setRemotePort(int port); // 0..65535
    // Dotted address of the TCP peer or of the last datagram's sender (IPv4 peers never as
    // ::ffff:).
    QString RemoteHostIP() const;
    int PeerPort() const; // port of the TCP peer or of the last datagram's sender
    // Datagrams the system dropped for the bound UDP socket since it was bound; -1 when it is
    // none or the system cannot tell.
    qint64 SystemDrops() const;
    // "192.0.2.7:51234" or "[2001:db8::7]:51234"; empty without a peer.
    QString PeerText() const;
    StateCode State() const;

    bool Listen();                  // TCP, all addresses, IPv4 and IPv6; State 2 on success
    bool Bind();                    // UDP on LocalPort; State 1 on success
    bool Accept(qintptr requestID); // only on a closed control; State 7 on success
    bool Connect();                 // TCP to RemoteHost:RemotePort; 4, 5, 6 then 7 or 9
    // UDP, bound, RemoteHost a name: State 4 until it is found, not found or LookupTimeoutMs
    // have passed, then 1 again; a name not found is told by the failure of the send (11001).
    // False when there is nothing to look up.
    bool LookUpRemoteHost();
    // TCP needs 7. UDP answers the last sender or goes to RemoteHost, a name only once
    // LookUpRemoteHost found it.
    bool SendData(const QByteArray &data);
    // Whether SendData may go on over TCP: Connected, or Closing after the peer half-closed while
    // this side may still send.
    bool CanSend() const;
    // While a hold lives, what is still owed to a TCP peer that half-closed (a delayed answer, a
    // reply or file still leaving) keeps its connection from being taken for closed: for
    // HalfClosedGraceMs after the peer's close, and for as long as the system keeps taking bytes
    // after that. What falls due later is let go at the close. A hold from an earlier session
    // counts no more.
    static constexpr int HalfClosedGraceMs = 10000;
    std::shared_ptr<void> KeepForSending();
    // Milliseconds since the peer closed its side; -1 unless Closing.
    qint64 HalfClosedMs() const;
    bool SendingHeld() const;
    // Why the last SendData returned false, as the status line shows a socket error
    // ("10040 - Message too long."); empty after one that succeeded.
    QString LastSendError() const;
    QByteArray GetData(); // everything waiting (UDP: the current datagram)
    void Close();         // State 0 at once

    // While paused, nothing more is read: DataArrival waits, TCP pushes back on the peer once
    // the read buffer is full, and datagrams wait in the system. Resuming raises DataArrival for
    // what is already waiting.
    void setPaused(bool paused);
    // TCP: bytes SendData accepted that still wait in this process for the system to take them;
    // BytesWritten says whenever the system took some, so a sender can keep this bounded.
    qint64 BytesToWrite() const;
    // TCP: bytes of this connection the system has taken (BytesWritten adds up to it).
    qint64 BytesSent() const { return m_tcp ? m_tcp->bytesSent() : 0; }
    // Connections closed with bytes still on their way, which go on delivering them; and whether
    // any such connection ended before all its bytes had left.
    int Delivering() const { return m_delivering; }
    bool LostOnClose() const { return m_lostOnClose; }
    // Reach beyond one peer; each takes effect at the next Listen or Bind, and the defaults
    // are what the control did before these existed, except that broadcast is off.
    // The one local address to listen on; null (the default): all addresses, IPv4 and IPv6.
    bool setLocalAddress(const QHostAddress &address);
    // UDP sends: without it a send to a broadcast address fails with 10013.
    void setAllowBroadcast(bool allowed);
    bool setMulticastTtl(int ttl); // 0..255, default 1
    // UDP: the receive buffer to ask for; 0 (the default): the control's own choice.
    void setReceiveBuffer(int bytes);
    // UDP, bound: the receive buffer the system granted; 0 when none is bound.
    int GrantedReceiveBuffer() const;
    // For joins and multicast sends; empty (the default): the system's choice. False for a name
    // that no interface has. Own multicast always loops back to this machine's sockets.
    bool setMulticastInterface(const QString &name);
    // UDP, bound: joins the groups on the multicast interface; they are left on Close. False,
    // having left every group again, with errorText naming the group and the reason. Only a
    // socket bound to all addresses or to the group's own address hears a group.
    bool JoinGroups(const QList<QHostAddress> &groups, QString *errorText = nullptr);
    // UDP, bound: one datagram to host:port from this socket's own port, so that the answer
    // arrives here.
    bool SendDatagramTo(const QByteArray &data, const QHostAddress &host, quint16 port);
    // The address RemoteHost stands for: its literal, or what LookUpRemoteHost found for it.
    QHostAddress RemoteAddress() const;
    // Changes with every open and Close: what was queued for the socket's session before may
    // no longer go out on it.
    quint64 Session() const { return m_session; }
    // An address as the status line shows it: an IPv4 one dotted, never as ::ffff: text.
    static QString DisplayAddress(const QHostAddress &address);
    // That address with its port, as every status line and note shows an end.
    static QString DisplayEnd(const QHostAddress &address, quint16 port);
    // Why the last Listen, Bind, JoinGroups or UDP send returned false; number 0 and no text
    // when the call did not fit the state, so the system was not asked.
    WinsockError LastFailure() const;

    // TLS on the next Accept or Connect (a server context for Accept, a client one for
    // Connect); null: plain TCP. A secure connection is Connected (7) once accepted, and an
    // outgoing one once its handshake is done; a handshake that fails raises Error with number
    // 0 and the reason in words, which SecureFailure keeps.
    // UDP: DTLS from the next Bind. A server context answers each peer that shakes hands, and
    // tells of failed handshakes and dropped datagrams by SecureNote; a client one sends only
    // once SecureRemoteHost is done.
    void setTls(std::shared_ptr<const TlsContext> tls) { m_tls = std::move(tls); }
    // UDP, bound with a client context: the DTLS handshake with RemoteHost; State 6 until it is
    // done or failed (SecureFailure says why), then 1 again. False when there is nothing to
    // shake hands with.
    bool SecureRemoteHost();
    // The handshake's protocol, cipher and peer certificate, once it is done (UDP: the last
    // datagram's sender's).
    QString SecuritySummary() const;
    // The same, for the chunk GetData just returned when it is the first since the handshake;
    // empty for every later chunk.
    QString FirstChunkSecurity() const { return m_firstChunkSecurity; }
    // "TLS handshake with 192.0.2.7:40122 failed: the peer sent plain text", until Close; for
    // a handshake past its limit "TLS handshake with 192.0.2.7:40122 did not finish within 5 s".
    QString SecureFailure() const { return m_secureFailure; }
    bool SecureTimedOut() const { return m_tcp && m_tcp->handshakeTimedOut(); }
    // How long the next Connect's TLS handshake may take once connected.
    void setHandshakeLimit(int ms) { m_handshakeLimitMs = ms; }
    // TCP over TLS: connected, the handshake not done yet.
    bool Handshaking() const { return m_tcp && m_tcp->handshaking(); }

signals:
    void ConnectionRequest(qintptr requestID);
    void DataArrival(qint64 bytesTotal);
    void Error(int number, const QString &description, const QString &source);
    void BytesWritten(qint64 bytes);
    // The TCP peer closed its side (State turns Closing); what it sent before was told first.
    void PeerClosed();
    // A TLS handshake is done (SecuritySummary says how).
    void Secured();
    // A DTLS listener's handshake failed or it dropped a datagram (text, empty when told
    // before), or a peer past its bound (peerDropped); it goes on listening.
    void SecureNote(const QString &text, bool peerDropped);
    // State() took a new number; told before whatever event the change belongs to (Error,
    // PeerClosed), so it is told even when it comes from a call of the caller's own.
    void StateChanged(SocketControl::StateCode state);
    // State() turned Connected: accepted, or an outgoing connection (and its TLS handshake)
    // done; right after its StateChanged.
    void ConnectionMade();
    // A closed connection ended delivering what it still held (Delivering() is one less;
    // LostOnClose says whether all of it left).
    void DeliveryEnded();

private:
    void onConnectionRequest(qintptr requestID);
    void wireTcp(TcpConnection *connection);
    bool sendTcp(const QByteArray &data);
    void onTcpArrival(qint64 bytesWaiting);
    void onTcpConnected();
    void onTcpError(QAbstractSocket::SocketError qtError);
    void onPeerClosed();
    void onTcpWritten(qint64 bytes);
    void onSecureFailed(const QString &why);
    void onDatagram(qint64 size);
    void onUdpError(QAbstractSocket::SocketError qtError);
    void wireDtls(UdpEndpoint *udp);
    void onHostLookedUp(const QString &host, const QList<QHostAddress> &addresses);
    bool sendUdp(const QByteArray &data);
    bool sendDatagram(const QByteArray &data, const QHostAddress &to, quint16 port);
    void setState(StateCode state);
    void fail(const WinsockError &error);
    void failLater(const WinsockError &error);
    void releaseSockets(DeferredDeletion::Disposal disposal);
    void deleteWhenIdle();
    QString farAddress() const override { return RemoteHostIP(); }
    int farPort() const override { return PeerPort(); }
    int nearPort() const override { return LocalPort(); }
    bool datagrams() const override { return Protocol() == UdpProtocol; }
    Phase phase() const override;
    QString failure() const override { return failureText(LastFailure()); }
    bool send(const QByteArray &bytes) override { return SendData(bytes); }
    qint64 bytesSent() const override { return BytesSent(); }
    QString chunkSecurity() const override { return FirstChunkSecurity(); }

    void deliverThenClose(TcpConnection *connection);
    static QString hostText(const QString &host);

    ProtocolKind m_protocol = TcpProtocol;
    StateCode m_state = Closed;
    quint16 m_localPort = 0; // as set; m_boundPort is what the open socket really has
    quint16 m_boundPort = 0;
    QString m_remoteHost;
    quint16 m_remotePort = 0;
    QString m_remoteHostIP;

    // Bumped by every Close and open, so a handler loop or a late callback can tell that the
    // socket it was serving is gone.
    quint64 m_session = 0;
    // Every slot of ours runs in a scope of it, so sockets closed meanwhile are deleted only
    // after their own signal has returned.
    DeferredDeletion m_deletion{this};
    // The error Qt raised while a datagram went out; SendData decides what it means.
    std::optional<QAbstractSocket::SocketError> m_sendRaised;
    bool m_failing = false; // a failure found inside a call, reported by an event still to come
    bool m_paused = false;
    int m_delivering = 0;
    bool m_lostOnClose = false;
    WinsockError m_failingWith;
    // Why a send to a half-closed peer failed: its connection is over, yet not in error.
    std::optional<WinsockError> m_closingFailure;
    int m_holds = 0;
    quint64 m_holdSession = 0;
    QElapsedTimer m_sinceClose;
    QElapsedTimer m_sinceProgress;
    QString m_lastSendError;

    QPointer<TcpServer> m_server;
    QPointer<TcpConnection> m_tcp;
    QPointer<UdpEndpoint> m_udp;
    QPointer<DtlsEndpoint> m_dtls;
    QByteArray m_plain; // the DTLS datagram GetData returns

    HostLookup m_hostLookup;
    QHostAddress m_localAddress;
    std::shared_ptr<const TlsContext> m_tls;
    int m_handshakeLimitMs = HandshakeLimitMs;
    bool m_securityShown = false;
    QString m_firstChunkSecurity;
    QString m_secureFailure;
    UdpEndpoint::Options m_udpOptions;
    WinsockError m_lastFailure;

    friend class SocketArray;
};

inline Link::Phase SocketControl::phase() const {
    switch (m_state) {
    case Closed:
        return Phase::Closed;
    case Failed:
        return Phase::Failed;
    case ConnectionPending:
    case ResolvingHost:
    case HostResolved:
    case Connecting:
        return Phase::Opening;
    case Open:
    case Listening:
    case Connected:
    case Closing: // the peer sends no more; what goes to it still goes
        break;
    }
    return Phase::Open;
}
