#include "net/socket_control.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QVariant>

#include <utility>

namespace {

constexpr int UdpReceiveBuffer = 4 << 20;

} // namespace

bool SocketControl::Bind() {
    if (m_protocol != UdpProtocol || m_state != Closed)
        return false;
    auto *socket = new QUdpSocket(this);
    // The default mode, not ShareAddress: a port another program holds must fail as in use.
    if (!socket->bind(QHostAddress::Any, m_localPort)) {
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
    const BusyScope busy(this);
    const QPointer<SocketControl> self(this);
    const quint64 session = m_session;
    // The handler may close or re-bind us; each round checks that the socket is still ours.
    while (self && m_session == session && m_udp && m_udp->hasPendingDatagrams()) {
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
    const BusyScope busy(this);
    if (m_state == Failed || !m_udp)
        return;
    fail(winsockError(qtError, m_udp->errorString()));
}

bool SocketControl::sendUdp(const QByteArray &data) {
    if (m_state != Open || !m_udp)
        return false;
    if (m_remoteHost.isEmpty()) {
        if (m_senderPort == 0 || m_senderAddress.isNull())
            return false;
        return sendDatagram(data, m_senderAddress, m_senderPort);
    }
    if (m_remotePort == 0)
        return false;
    const QString host = hostText(m_remoteHost);
    const QHostAddress literal(host);
    if (!literal.isNull())
        return sendDatagram(data, literal, m_remotePort);
    if (host.isEmpty())
        return false;
    m_unresolvedSends.append(data);
    if (m_lookupId == -1) {
        m_lookupId = QHostInfo::lookupHost(host, this,
                                           [this](const QHostInfo &info) { onHostLookedUp(info); });
    }
    return true;
}

bool SocketControl::sendDatagram(const QByteArray &data, const QHostAddress &to, quint16 port) {
    ++m_sending;
    m_sendFailed = false;
    const qint64 sent = m_udp->writeDatagram(data, to, port);
    --m_sending;
    return sent == data.size() && !m_sendFailed;
}

void SocketControl::onHostLookedUp(const QHostInfo &info) {
    if (info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    const QList<QByteArray> sends = std::exchange(m_unresolvedSends, {});
    if (m_state != Open || !m_udp)
        return;
    const BusyScope busy(this);
    const QList<QHostAddress> addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
        fail(winsockError(11001));
        return;
    }
    // Prefer IPv4: a peer listening on IPv4 only is far commoner than one on IPv6 only.
    QHostAddress target = addresses.constFirst();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            target = address;
            break;
        }
    }
    for (const QByteArray &data : sends) {
        if (!sendDatagram(data, target, m_remotePort)) {
            fail(winsockError(m_sendFailed ? m_sendError : QAbstractSocket::NetworkError,
                              m_udp ? m_udp->errorString() : QString()));
            return;
        }
    }
}
