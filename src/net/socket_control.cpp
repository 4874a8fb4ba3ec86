#include "net/socket_control.h"

#include "runtime/host_port.h"

#include <QTimer>

#include <cerrno>
#include <utility>

namespace {

bool isPort(int port) {
    return port >= 0 && port <= 65535;
}

} // namespace

QString SocketControl::PeerText() const {
    const QString ip = RemoteHostIP();
    if (ip.isEmpty())
        return {};
    return joinHostPort(ip, PeerPort());
}

QString SocketControl::DisplayAddress(const QHostAddress &address) {
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4).toString() : address.toString();
}

QString SocketControl::DisplayEnd(const QHostAddress &address, quint16 port) {
    return joinHostPort(DisplayAddress(address), port);
}

// A host as typed: "[::1]" is an IPv6 literal too.
QString SocketControl::hostText(const QString &host) {
    const QString trimmed = host.trimmed();
    if (trimmed.size() > 2 && trimmed.startsWith(u'[') && trimmed.endsWith(u']'))
        return trimmed.mid(1, trimmed.size() - 2);
    return trimmed;
}

SocketControl::SocketControl(QObject *parent)
    : QObject(parent), m_hostLookup(&UdpEndpoint::lookUpWithSystem) {}

void SocketControl::setHostLookup(HostLookup lookup) {
    m_hostLookup = std::move(lookup);
}

SocketControl::~SocketControl() {
    releaseSockets(m_deletion.busy() ? DeferredDeletion::Disposal::Later
                                     : DeferredDeletion::Disposal::Now);
}

SocketControl::ProtocolKind SocketControl::Protocol() const {
    return m_protocol;
}

bool SocketControl::setProtocol(ProtocolKind protocol) {
    if (protocol != TcpProtocol && protocol != UdpProtocol)
        return false;
    if (protocol != m_protocol && m_state != Closed)
        return false;
    m_protocol = protocol;
    return true;
}

int SocketControl::LocalPort() const {
    return m_state != Closed && m_boundPort != 0 ? m_boundPort : m_localPort;
}

bool SocketControl::setLocalPort(int port) {
    if (!isPort(port))
        return false;
    m_localPort = quint16(port);
    return true;
}

QString SocketControl::RemoteHost() const {
    return m_remoteHost;
}

bool SocketControl::setRemoteHost(const QString &host) {
    m_remoteHost = host;
    return true;
}

int SocketControl::RemotePort() const {
    return m_remotePort;
}

bool SocketControl::setRemotePort(int port) {
    if (!isPort(port))
        return false;
    m_remotePort = quint16(port);
    return true;
}

QString SocketControl::RemoteHostIP() const {
    return m_remoteHostIP;
}

int SocketControl::PeerPort() const {
    if (m_protocol == UdpProtocol)
        return m_udp ? m_udp->senderPort() : 0;
    return m_tcp ? m_tcp->peerPort() : 0;
}

SocketControl::StateCode SocketControl::State() const {
    return m_state;
}

bool SocketControl::SendData(const QByteArray &data) {
    m_sendRaised.reset();
    errno = 0;
    if (m_protocol == UdpProtocol ? sendUdp(data) : sendTcp(data)) {
        m_lastSendError.clear();
        return true;
    }
    const int cause = errno;
    WinsockError error = winsockError(10057); // nothing was tried: no state to send in
    if (m_closingFailure)
        error = *std::exchange(m_closingFailure, std::nullopt);
    else if (m_failing)
        error = m_failingWith;
    else if (m_sendRaised)
        error = winsockError(*m_sendRaised, m_udp ? m_udp->errorString() : QString());
    else if (cause == EAGAIN || cause == EWOULDBLOCK) // Qt tells a full buffer by no error
        error = winsockError(10035);
    else if (cause == ENOBUFS)
        error = winsockError(10055);
    m_lastSendError = QString::number(error.number) + QStringLiteral(" - ") + error.description;
    return false;
}

QString SocketControl::LastSendError() const {
    return m_lastSendError;
}

QByteArray SocketControl::GetData() {
    if (m_protocol == UdpProtocol && m_dtls)
        return std::exchange(m_plain, {});
    if (m_protocol == UdpProtocol)
        return m_udp ? m_udp->takeDatagram() : QByteArray();
    if (!m_tcp)
        return {};
    QByteArray data = m_tcp->takeAll();
    m_firstChunkSecurity.clear();
    if (!m_securityShown && !data.isEmpty() && m_tcp->isSecure()) {
        m_securityShown = true;
        m_firstChunkSecurity = m_tcp->securitySummary();
    }
    return data;
}

void SocketControl::Close() {
    releaseSockets(DeferredDeletion::Disposal::Later);
    m_boundPort = 0;
    m_failing = false;
    setState(Closed);
}

void SocketControl::setState(StateCode state) {
    if (state == m_state)
        return;
    m_state = state;
    const DeferredDeletion::Scope busy(m_deletion);
    const QPointer<SocketControl> self(this);
    const quint64 session = m_session;
    emit StateChanged(state);
    if (state == Connected && self && m_session == session && m_state == Connected)
        emit ConnectionMade();
}

void SocketControl::fail(const WinsockError &error) {
    setState(Failed);
    emit Error(error.number, error.description, objectName());
}

// For failures found inside a call: the caller gets false now and the event comes afterwards,
// so its handler is not re-entered from the middle of its own call. The state turns 9 with the
// event, so nobody who polls the state in between (the status monitor) acts on the failure first
// and closes the socket before the event could report it.
void SocketControl::failLater(const WinsockError &error) {
    m_failing = true;
    m_failingWith = error;
    QTimer::singleShot(0, this, [this, error, session = m_session] {
        if (m_session == session && std::exchange(m_failing, false))
            fail(error);
    });
}

void SocketControl::setPaused(bool paused) {
    if (paused == m_paused)
        return;
    m_paused = paused;
    if (m_tcp)
        m_tcp->setPaused(paused);
    if (m_udp)
        m_udp->setPaused(paused);
    if (!paused)
        QTimer::singleShot(0, this, [this, session = m_session] {
            if (m_session != session || m_paused)
                return;
            if (m_tcp)
                m_tcp->announceWaiting();
            else if (m_udp)
                m_udp->readWaiting();
        });
}

qint64 SocketControl::BytesToWrite() const {
    return m_tcp ? m_tcp->bytesToWrite() : 0;
}

void SocketControl::releaseSockets(DeferredDeletion::Disposal disposal) {
    ++m_session;
    if (TcpServer *server = std::exchange(m_server, nullptr)) {
        server->disconnect(this);
        server->close();
        m_deletion.retire(server, disposal);
    }
    if (DtlsEndpoint *dtls = std::exchange(m_dtls, nullptr)) {
        dtls->disconnect(this);
        dtls->shutDown();
    }
    if (UdpEndpoint *udp = std::exchange(m_udp, nullptr)) {
        udp->disconnect(this);
        udp->close();
        m_deletion.retire(udp, disposal);
    }
    if (TcpConnection *connection = std::exchange(m_tcp, nullptr)) {
        connection->disconnect(this);
        // A failed connection is dropped with what it still holds (which may be a backlog that
        // its peer never read).
        if (m_state != Failed && !m_failing && connection->holdsUndelivered()) {
            // Let what SendData accepted still reach the peer, then the connection goes.
            deliverThenClose(connection);
        } else {
            connection->abort();
            m_deletion.retire(connection, disposal);
        }
    }
}

void SocketControl::deleteWhenIdle() {
    m_deletion.deleteOwnerWhenIdle();
}
