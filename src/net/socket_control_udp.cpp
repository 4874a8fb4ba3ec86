#include "net/socket_control.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <cerrno>
#include <utility>

namespace {

constexpr int UdpReceiveBuffer = 4 << 20;

} // namespace

bool SocketControl::Bind() {
    m_lastFailure = {};
    if (m_protocol != UdpProtocol || m_state != Closed)
        return false;
    auto *socket = new QUdpSocket(this);
    const QHostAddress address =
        m_localAddress.isNull() ? QHostAddress(QHostAddress::Any) : m_localAddress;
    // The default mode, not ShareAddress: a port another program holds must fail as in use.
    if (!socket->bind(address, m_localPort)) {
        qCWarning(lcNet) << "bind to port" << m_localPort << "failed:" << socket->errorString();
        m_lastFailure = winsockError(socket->error(), socket->errorString());
        delete socket;
        return false;
    }
    if (const int error = applyUdpOptions(socket); error != 0) {
        m_lastFailure = winsockErrorForErrno(error);
        qCWarning(lcNet) << "options of the socket on port" << m_localPort
                         << "refused:" << m_lastFailure.description;
        delete socket;
        return false;
    }
    // A burst of datagrams must wait in the kernel while the window is busy, not be dropped.
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, UdpReceiveBuffer);
    ++m_session;
    m_udp = socket;
    connect(socket, &QIODevice::readyRead, this, &SocketControl::onUdpReadyRead);
    connect(socket, &QAbstractSocket::errorOccurred, this, &SocketControl::onUdpError);
    m_boundPort = socket->localPort();
    m_state = Open;
    return true;
}

void SocketControl::onUdpReadyRead() {
    const DeferredDeletion::Scope busy(m_deletion);
    const QPointer<SocketControl> self(this);
    const quint64 session = m_session;
    // The handler may close or re-bind us; each round checks that the socket is still ours.
    while (self && m_session == session && !m_paused && m_udp && m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram();
        if (!datagram.isValid())
            break;
        m_datagram = datagram.data();
        m_senderAddress = datagram.senderAddress();
        m_senderPort = quint16(datagram.senderPort());
        m_remoteHostIP = displayAddress(m_senderAddress);
        emit DataArrival(m_datagram.size());
    }
}

void SocketControl::onUdpError(QAbstractSocket::SocketError qtError) {
    if (heldForSendData(qtError))
        return;
    const DeferredDeletion::Scope busy(m_deletion);
    if (m_state == Failed || !m_udp)
        return;
    fail(winsockError(qtError, m_udp->errorString()));
}

bool SocketControl::sendUdp(const QByteArray &data) {
    m_lastFailure = {};
    if (m_state != Open || !m_udp)
        return false;
    if (m_remoteHost.isEmpty()) {
        // The sender's address keeps its scope (fe80::...%eth0), so a link-local one is reached.
        if (m_senderPort == 0 || m_senderAddress.isNull())
            return false;
        return sendDatagram(data, m_senderAddress, m_senderPort);
    }
    const QHostAddress to = RemoteAddress();
    if (to.isNull() && m_hostNotFound)
        m_lastFailure = winsockError(11001);
    if (m_remotePort == 0 || to.isNull())
        return false;
    return sendDatagram(data, to, m_remotePort);
}

QHostAddress SocketControl::RemoteAddress() const {
    const QString host = hostText(m_remoteHost);
    const QHostAddress literal(host);
    if (!literal.isNull())
        return literal;
    if (host.isEmpty() || host != m_lookedUpHost)
        return {};
    return m_lookedUpAddress;
}

bool SocketControl::sendDatagram(const QByteArray &data, const QHostAddress &to, quint16 port) {
    ++m_sending;
    m_sendFailed = false;
    errno = 0;
    const qint64 sent = m_udp->writeDatagram(data, to, port);
    // Qt keeps only a coarse error ("Unable to send a datagram"); the system's own tells a
    // refused broadcast (EACCES) apart.
    const int cause = errno;
    --m_sending;
    if (sent == data.size() && !m_sendFailed)
        return true;
    m_lastFailure = cause != 0 ? winsockErrorForErrno(cause)
                    : m_udp    ? winsockError(m_udp->error(), m_udp->errorString())
                               : winsockError(m_sendError, QString());
    return false;
}

void SocketControl::lookUpWithSystem(const QString &name, QObject *context,
                                     std::function<void(const QList<QHostAddress> &)> answer) {
    QHostInfo::lookupHost(name, context, [answer = std::move(answer)](const QHostInfo &info) {
        answer(info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>());
    });
}

bool SocketControl::LookUpRemoteHost() {
    const QString host = hostText(m_remoteHost);
    if (m_protocol != UdpProtocol || m_state != Open || host.isEmpty()
        || !QHostAddress(host).isNull())
        return false;
    m_lookedUpHost.clear();
    m_lookedUpAddress.clear();
    m_hostNotFound = false;
    m_state = ResolvingHost;
    const quint64 round = ++m_lookupRound;
    QTimer::singleShot(LookupTimeoutMs, this,
                       [this, round, host] { onHostLookedUp(round, host, {}); });
    m_hostLookup(
        host, this,
        [self = QPointer<SocketControl>(this), round, host](const QList<QHostAddress> &addresses) {
            if (self)
                self->onHostLookedUp(round, host, addresses);
        });
    return true;
}

void SocketControl::onHostLookedUp(quint64 round, const QString &host,
                                   const QList<QHostAddress> &addresses) {
    if (round != m_lookupRound || m_state != ResolvingHost)
        return;
    m_state = Open;
    if (addresses.isEmpty()) {
        // The socket stays open; the send that asked fails, and its failure names the cause.
        m_hostNotFound = true;
        return;
    }
    m_lookedUpHost = host;
    // Prefer IPv4: a peer listening on IPv4 only is far commoner than one on IPv6 only.
    m_lookedUpAddress = addresses.constFirst();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_lookedUpAddress = address;
            break;
        }
    }
}
