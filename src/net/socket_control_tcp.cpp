// The socket control's TCP side: listen, accept, connect, what a connection tells (TLS
// included), and sending on it, also to a peer that half-closed.
#include "net/socket_control.h"

#include "runtime/host_port.h"

#include <utility>

namespace {

// How long a closed connection may go on delivering what was sent before Close.
constexpr int CloseLingerMs = 10000;

} // namespace

bool SocketControl::Listen() {
    m_lastFailure = {};
    if (m_protocol != TcpProtocol || m_state != Closed)
        return false;
    ++m_session;
    auto *server = new TcpServer(this);
    if (!server->listen(m_localAddress, m_localPort)) {
        m_lastFailure = server->failure();
        delete server;
        return false;
    }
    connect(server, &TcpServer::connectionRequest, this, &SocketControl::onConnectionRequest);
    connect(server, &TcpServer::failed, this, [this](const WinsockError &error) {
        const DeferredDeletion::Scope busy(m_deletion);
        fail(error);
    });
    m_server = server;
    m_boundPort = server->port();
    setState(Listening);
    return true;
}

void SocketControl::onConnectionRequest(qintptr requestID) {
    const DeferredDeletion::Scope busy(m_deletion);
    emit ConnectionRequest(requestID);
}

bool SocketControl::Accept(qintptr requestID) {
    if (m_state != Closed)
        return false;
    TcpConnection *connection = TcpConnection::fromRequest(requestID, this, m_tls);
    if (!connection)
        return false;
    ++m_session;
    m_protocol = TcpProtocol;
    wireTcp(connection);
    m_remoteHostIP = DisplayAddress(connection->peerAddress());
    m_boundPort = connection->localPort();
    setState(Connected);
    return true;
}

bool SocketControl::Connect() {
    if (m_protocol != TcpProtocol || m_state != Closed || m_remotePort == 0)
        return false;
    const QString host = hostText(m_remoteHost);
    if (host.isEmpty())
        return false;
    ++m_session;
    TcpConnection *connection = TcpConnection::outgoing(this, m_tls);
    connection->setHandshakeLimit(m_handshakeLimitMs);
    wireTcp(connection);
    setState(ResolvingHost);
    connection->connectToHost(host, m_remotePort);
    return true;
}

void SocketControl::wireTcp(TcpConnection *connection) {
    m_tcp = connection;
    m_securityShown = false;
    m_firstChunkSecurity.clear();
    m_secureFailure.clear();
    connection->setPaused(m_paused);
    connect(connection, &TcpConnection::dataArrival, this, &SocketControl::onTcpArrival);
    connect(connection, &TcpConnection::connecting, this, [this] {
        if (m_state == ResolvingHost || m_state == HostResolved)
            setState(Connecting);
    });
    connect(connection, &TcpConnection::hostFound, this, [this] {
        if (m_state == ResolvingHost)
            setState(HostResolved);
    });
    connect(connection, &TcpConnection::connected, this, &SocketControl::onTcpConnected);
    connect(connection, &TcpConnection::socketError, this, &SocketControl::onTcpError);
    connect(connection, &TcpConnection::peerClosed, this, &SocketControl::onPeerClosed);
    connect(connection, &TcpConnection::bytesWritten, this, &SocketControl::onTcpWritten);
    connect(connection, &TcpConnection::secured, this, [this] {
        const DeferredDeletion::Scope busy(m_deletion);
        emit Secured();
    });
    connect(connection, &TcpConnection::secureFailed, this, &SocketControl::onSecureFailed);
}

// The peer's address is known for an accepted connection; an outgoing one names the host.
void SocketControl::onSecureFailed(const QString &why) {
    const DeferredDeletion::Scope busy(m_deletion);
    if (!m_tcp || m_state == Closed || m_state == Failed)
        return;
    QString peer = joinHostPort(hostText(m_remoteHost), m_remotePort);
    if (!m_tcp->peerAddress().isNull()) {
        m_remoteHostIP = DisplayAddress(m_tcp->peerAddress());
        peer = PeerText();
    }
    m_secureFailure = m_tcp->handshakeTimedOut()
                          ? QStringLiteral("TLS handshake with %1 %2").arg(peer, why)
                          : QStringLiteral("TLS handshake with %1 failed: %2").arg(peer, why);
    fail({0, m_secureFailure});
}

void SocketControl::onTcpConnected() {
    if (!m_tcp || m_state == Closed)
        return;
    m_remoteHostIP = DisplayAddress(m_tcp->peerAddress());
    setState(Connected);
}

void SocketControl::onTcpArrival(qint64 bytesWaiting) {
    const DeferredDeletion::Scope busy(m_deletion);
    emit DataArrival(bytesWaiting);
}

void SocketControl::onTcpError(QAbstractSocket::SocketError qtError) {
    const DeferredDeletion::Scope busy(m_deletion);
    if (qtError == QAbstractSocket::RemoteHostClosedError && m_state == Connected) {
        onPeerClosed();
        return;
    }
    if (m_state == Failed || m_state == Closing || m_failing || !m_tcp)
        return;
    fail(winsockError(qtError, m_tcp->errorString()));
}

void SocketControl::onPeerClosed() {
    if (m_state != Connected || !m_tcp)
        return;
    const DeferredDeletion::Scope busy(m_deletion);
    const QPointer<SocketControl> self(this);
    const quint64 session = m_session;
    // What the peer sent before closing stays readable; make sure it was announced.
    m_tcp->stopGathering();
    if (m_tcp->bytesAvailable() > 0)
        emit DataArrival(m_tcp->bytesAvailable());
    if (self && m_session == session && m_state == Connected) {
        m_sinceClose.start();
        m_sinceProgress.start();
        setState(Closing);
        emit PeerClosed();
    }
}

void SocketControl::onTcpWritten(qint64 bytes) {
    if (m_state == Closing)
        m_sinceProgress.start();
    emit BytesWritten(bytes);
}

bool SocketControl::CanSend() const {
    return m_tcp && !m_failing
           && (m_state == Connected || (m_state == Closing && m_tcp->canWrite()));
}

std::shared_ptr<void> SocketControl::KeepForSending() {
    if (m_holdSession != m_session) {
        m_holdSession = m_session;
        m_holds = 0;
    }
    ++m_holds;
    return {nullptr, [self = QPointer<SocketControl>(this), session = m_session](void *) {
                if (self && self->m_holdSession == session && self->m_session == session)
                    --self->m_holds;
            }};
}

bool SocketControl::SendingHeld() const {
    return m_holdSession == m_session && m_holds > 0 && CanSend()
           && !(m_state == Closing && m_sinceProgress.hasExpired(HalfClosedGraceMs));
}

qint64 SocketControl::HalfClosedMs() const {
    return m_state == Closing && m_sinceClose.isValid() ? m_sinceClose.elapsed() : -1;
}

// A half-closed peer that went away for good ends only what was owed to it: the control stays
// Closing, as for any peer that closed.
bool SocketControl::sendTcp(const QByteArray &data) {
    if (!CanSend()) {
        if (m_state == Closing && m_tcp)
            m_closingFailure = m_tcp->writeFailure();
        return false;
    }
    bool whole = false;
    if (const std::optional<WinsockError> failure = m_tcp->write(data, whole)) {
        if (m_state == Closing)
            m_closingFailure = failure;
        else
            failLater(*failure);
        return false;
    }
    return whole;
}

void SocketControl::deliverThenClose(TcpConnection *connection) {
    connection->setParent(nullptr);
    ++m_delivering;
    connect(connection, &TcpConnection::delivered, this, [this, connection](bool lost) {
        const DeferredDeletion::Scope busy(m_deletion);
        --m_delivering;
        m_lostOnClose |= lost;
        m_deletion.retire(connection, DeferredDeletion::Disposal::Later);
        emit DeliveryEnded();
    });
    connect(this, &QObject::destroyed, connection, &QObject::deleteLater);
    connection->deliverThenClose(CloseLingerMs);
}
