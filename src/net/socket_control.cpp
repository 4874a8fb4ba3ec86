/*
 * States of a SocketControl and what moves it between them:
 *
 *   0 closed     -- Listen -------------------------------------------------> 2 listening
 *   0 closed     -- Bind (UDP) ---------------------------------------------> 1 open
 *   1 open       -- LookUpRemoteHost -> 4 resolving -> found or not, in time -> 1 open
 *   0 closed     -- Accept(requestID) --------------------------------------> 7 connected
 *   0 closed     -- Connect -> 4 resolving -> 5 resolved -> 6 connecting ---> 7 connected
 *   4, 5, 6      -- refused, host not found, timed out --------------------> 9 error + Error
 *   7 connected  -- peer closed (FIN; on Linux a reset looks the same) ----> 8 closing
 *   1, 2, 7      -- any other socket failure -------------------------------> 9 error + Error
 *   any          -- Close ---------------------------------------------------> 0 closed
 *
 * 3 (connection pending) is never entered: requests are announced from state 2 by
 * ConnectionRequest and end with that event, taken up by another control or closed.
 * 8 and 9 last until Close. Calls that do not fit the state return false and change nothing.
 */
#include "net/socket_control.h"

#include "net/posix_descriptors.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <cerrno>
#include <memory>
#include <utility>

namespace {

constexpr int ListenBacklog = 1024;
constexpr qint64 ReadChunkLimit = 1 << 20;
// How long a closed connection may go on delivering what was sent before Close.
constexpr int CloseLingerMs = 10000;
// What may wait to go out to one peer; a peer that does not read fails its connection instead of
// making us hold everything sent to it.
constexpr qint64 PendingWriteLimit = 16 << 20;

bool isPort(int port) {
    return port >= 0 && port <= 65535;
}

} // namespace

QString SocketControl::PeerText() const {
    const QString ip = RemoteHostIP();
    if (ip.isEmpty())
        return {};
    return (ip.contains(u':') ? u'[' + ip + u']' : ip) + u':' + QString::number(PeerPort());
}

QString SocketControl::displayAddress(const QHostAddress &address) {
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4).toString() : address.toString();
}

// A host as typed: "[::1]" is an IPv6 literal too.
QString SocketControl::hostText(const QString &host) {
    const QString trimmed = host.trimmed();
    if (trimmed.size() > 2 && trimmed.startsWith(u'[') && trimmed.endsWith(u']'))
        return trimmed.mid(1, trimmed.size() - 2);
    return trimmed;
}

SocketControl::SocketControl(QObject *parent)
    : QObject(parent), m_hostLookup(&SocketControl::lookUpWithSystem) {
    m_gather.setSingleShot(true);
    m_gather.setTimerType(Qt::PreciseTimer);
    connect(&m_gather, &QTimer::timeout, this, &SocketControl::deliverGathered);
}

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
        return m_senderPort;
    return m_tcp ? m_tcp->peerPort() : 0;
}

SocketControl::StateCode SocketControl::State() const {
    return m_state;
}

bool SocketControl::Listen() {
    m_lastFailure = {};
    if (m_protocol != TcpProtocol || m_state != Closed)
        return false;
    ++m_session;
    auto announce = [self = QPointer<SocketControl>(this), session = m_session](qintptr id) {
        if (self && self->m_session == session)
            self->onConnectionRequest(id);
    };
    QTcpServer *server = newRequestServer(announce, this);
    server->setListenBacklogSize(ListenBacklog);
    const QHostAddress address =
        m_localAddress.isNull() ? QHostAddress(QHostAddress::Any) : m_localAddress;
    if (!server->listen(address, m_localPort)) {
        qCWarning(lcNet) << "listen on port" << m_localPort << "failed:" << server->errorString();
        m_lastFailure = winsockError(server->serverError(), server->errorString());
        delete server;
        return false;
    }
    connect(server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        const DeferredDeletion::Scope busy(m_deletion);
        // Out of descriptors is by far the likeliest cause of a failed accept.
        fail(error == QAbstractSocket::SocketResourceError
                 ? winsockError(10024)
                 : winsockError(error, m_server ? m_server->errorString() : QString()));
    });
    m_server = server;
    m_boundPort = server->serverPort();
    m_state = Listening;
    return true;
}

void SocketControl::onConnectionRequest(qintptr requestID) {
    const DeferredDeletion::Scope busy(m_deletion);
    emit ConnectionRequest(requestID);
}

bool SocketControl::Accept(qintptr requestID) {
    if (m_state != Closed)
        return false;
    const int descriptor = duplicateConnection(requestID);
    if (descriptor < 0)
        return false;
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        qCWarning(lcNet) << "taking up connection request" << requestID
                         << "failed:" << socket->errorString();
        closeDescriptor(descriptor);
        delete socket;
        return false;
    }
    enableKeepAlive(socket);
    // Bounded chunks: a flood reaches the handler piece by piece, and the rest waits in the
    // kernel (which slows the peer down) instead of piling up in this process.
    socket->setReadBufferSize(ReadChunkLimit);
    ++m_session;
    m_protocol = TcpProtocol;
    m_tcp = socket;
    wireTcp(socket);
    m_remoteHostIP = displayAddress(socket->peerAddress());
    m_boundPort = socket->localPort();
    m_state = Connected;
    return true;
}

bool SocketControl::Connect() {
    if (m_protocol != TcpProtocol || m_state != Closed || m_remotePort == 0)
        return false;
    const QString host = hostText(m_remoteHost);
    if (host.isEmpty())
        return false;
    ++m_session;
    auto *socket = new QTcpSocket(this);
    m_tcp = socket;
    wireTcp(socket);
    m_state = ResolvingHost;
    socket->connectToHost(host, m_remotePort);
    return true;
}

void SocketControl::wireTcp(QTcpSocket *socket) {
    connect(socket, &QIODevice::readyRead, this, &SocketControl::onTcpReadyRead);
    connect(socket, &QAbstractSocket::stateChanged, this, &SocketControl::onTcpStateChanged);
    connect(socket, &QAbstractSocket::hostFound, this, [this] {
        if (m_state == ResolvingHost)
            m_state = HostResolved;
    });
    connect(socket, &QAbstractSocket::connected, this, &SocketControl::onTcpConnected);
    connect(socket, &QAbstractSocket::errorOccurred, this, &SocketControl::onTcpError);
    connect(socket, &QAbstractSocket::disconnected, this, &SocketControl::onPeerClosed);
    m_sent = 0;
    connect(socket, &QIODevice::bytesWritten, this, [this](qint64 bytes) {
        m_sent += bytes;
        emit BytesWritten(bytes);
    });
}

void SocketControl::onTcpStateChanged(QAbstractSocket::SocketState qtState) {
    if (qtState == QAbstractSocket::ConnectingState
        && (m_state == ResolvingHost || m_state == HostResolved))
        m_state = Connecting;
}

void SocketControl::onTcpConnected() {
    if (!m_tcp || m_state == Closed)
        return;
    m_remoteHostIP = displayAddress(m_tcp->peerAddress());
    m_state = Connected;
}

void SocketControl::onTcpReadyRead() {
    const DeferredDeletion::Scope busy(m_deletion);
    if (!m_tcp || m_paused)
        return;
    const qint64 waiting = m_tcp->bytesAvailable();
    if (waiting > 0 && !gatherMore(waiting))
        emit DataArrival(waiting);
}

// An error raised from inside SendData is left to SendData, which reports it after returning.
bool SocketControl::heldForSendData(QAbstractSocket::SocketError qtError) {
    if (m_sending == 0)
        return false;
    m_sendFailed = true;
    m_sendError = qtError;
    return true;
}

void SocketControl::onTcpError(QAbstractSocket::SocketError qtError) {
    if (heldForSendData(qtError))
        return;
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
    if (m_sending > 0 || m_state != Connected || !m_tcp)
        return;
    const DeferredDeletion::Scope busy(m_deletion);
    const QPointer<SocketControl> self(this);
    const quint64 session = m_session;
    // What the peer sent before closing stays readable; make sure it was announced.
    m_gather.stop();
    if (m_tcp->bytesAvailable() > 0)
        emit DataArrival(m_tcp->bytesAvailable());
    if (self && m_session == session && m_state == Connected)
        m_state = Closing;
}

bool SocketControl::SendData(const QByteArray &data) {
    m_sendFailed = false;
    errno = 0;
    if (m_protocol == UdpProtocol ? sendUdp(data) : sendTcp(data)) {
        m_lastSendError.clear();
        return true;
    }
    const int cause = errno;
    WinsockError error = winsockError(10057); // nothing was tried: no state to send in
    if (m_failing)
        error = m_failingWith;
    else if (m_sendFailed)
        error = winsockError(m_sendError, m_udp ? m_udp->errorString() : QString());
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

bool SocketControl::sendTcp(const QByteArray &data) {
    if (m_state != Connected || !m_tcp || m_failing)
        return false;
    const QPointer<QTcpSocket> socket = m_tcp;
    ++m_sending;
    m_sendFailed = false;
    // Copied, not shared: Qt would keep a caller's array whole until sent, and one from toUtf8()
    // holds up to three times its size.
    const qint64 written = socket->write(data.constData(), data.size());
    // Without an immediate flush a peer that half-closes after its request loses the reply.
    if (written > 0)
        socket->flush();
    --m_sending;
    if (m_sendFailed) {
        failLater(m_sendError == QAbstractSocket::RemoteHostClosedError
                      ? winsockError(10054)
                      : winsockError(m_sendError, socket ? socket->errorString() : QString()));
        return false;
    }
    if (socket && socket->bytesToWrite() > PendingWriteLimit) {
        failLater(winsockError(10055));
        return false;
    }
    return written == data.size();
}

QByteArray SocketControl::GetData() {
    if (m_protocol == UdpProtocol)
        return std::exchange(m_datagram, {});
    // Asked for exactly what it holds, Qt hands its read buffer over instead of copying it.
    return m_tcp ? m_tcp->read(m_tcp->bytesAvailable()) : QByteArray();
}

void SocketControl::Close() {
    releaseSockets(DeferredDeletion::Disposal::Later);
    m_datagram.clear();
    m_lookedUpHost.clear();
    m_lookedUpAddress.clear();
    m_hostNotFound = false;
    m_senderAddress.clear();
    m_senderPort = 0;
    m_boundPort = 0;
    m_failing = false;
    m_state = Closed;
}

void SocketControl::fail(const WinsockError &error) {
    m_state = Failed;
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

void SocketControl::releaseSockets(DeferredDeletion::Disposal disposal) {
    ++m_session;
    m_sent = 0;
    m_gather.stop();
    m_lastChunk = 0;
    if (QTcpServer *server = std::exchange(m_server, nullptr)) {
        server->disconnect(this);
        server->close();
        m_deletion.retire(server, disposal);
    }
    leaveGroups();
    if (QUdpSocket *socket = std::exchange(m_udp, nullptr)) {
        socket->disconnect(this);
        socket->abort();
        m_deletion.retire(socket, disposal);
    }
    if (QTcpSocket *socket = std::exchange(m_tcp, nullptr)) {
        socket->disconnect(this);
        // A failed connection is dropped with what it still holds (which may be a backlog that
        // its peer never read).
        if (m_state != Failed && !m_failing && socket->state() == QAbstractSocket::ConnectedState
            && (socket->bytesToWrite() > 0
                || unacknowledgedBytes(socket->socketDescriptor()) > 0)) {
            // Let what SendData accepted still reach the peer, then the socket goes.
            deliverThenClose(socket, CloseLingerMs);
        } else {
            socket->abort();
            m_deletion.retire(socket, disposal);
        }
    }
}

void SocketControl::deleteWhenIdle() {
    m_deletion.deleteOwnerWhenIdle();
}
