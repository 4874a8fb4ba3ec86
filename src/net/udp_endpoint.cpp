#include "net/udp_endpoint.h"

#include "net/udp_descriptors.h"
#include "runtime/delivery_batch.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QPointer>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <cerrno>

namespace {

constexpr int UdpReceiveBuffer = 4 << 20;
// Datagrams handed on in one round of events before the window's timers get their turn.
constexpr int RoundShare = 8 * DatagramBatch::Capacity;

} // namespace

UdpEndpoint::UdpEndpoint(QObject *parent) : QObject(parent), m_socket(new QUdpSocket(this)) {}

UdpEndpoint::~UdpEndpoint() = default;

void UdpEndpoint::lookUpWithSystem(const QString &name, QObject *context,
                                   std::function<void(const QList<QHostAddress> &)> answer) {
    QHostInfo::lookupHost(name, context, [answer = std::move(answer)](const QHostInfo &info) {
        answer(info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>());
    });
}

int UdpEndpoint::interfaceIndex(const QString &name) {
    if (name.isEmpty())
        return 0;
    const int index = QNetworkInterface::interfaceIndexFromName(name);
    return index > 0 ? index : -1;
}

bool UdpEndpoint::bind(const QHostAddress &address, quint16 port, const Options &options) {
    // The default mode, not ShareAddress: a port another program holds must fail as in use.
    if (!m_socket->bind(address.isNull() ? QHostAddress(QHostAddress::Any) : address, port)) {
        qCWarning(lcNet) << "bind to port" << port << "failed:" << m_socket->errorString();
        m_failure = winsockError(m_socket->error(), m_socket->errorString());
        return false;
    }
    if (const int error = applyOptions(options); error != 0) {
        m_failure = winsockErrorForErrno(error);
        qCWarning(lcNet) << "options of the socket on port" << port
                         << "refused:" << m_failure.description;
        return false;
    }
    // A burst of datagrams must wait in the kernel while the window is busy, not be dropped.
    if (options.receiveBufferBytes > 0)
        setReceiveBuffer(m_socket->socketDescriptor(), options.receiveBufferBytes);
    else
        m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, UdpReceiveBuffer);
    m_open = true;
    connect(m_socket, &QIODevice::readyRead, this, &UdpEndpoint::readWaiting);
    connect(m_socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                if (m_sending > 0)
                    m_raisedInSend = error;
                else
                    emit socketError(error);
            });
    return true;
}

// Broadcast is set either way, since Qt allows it on every UDP socket; the others only when
// chosen, so a socket without options is what it always was.
int UdpEndpoint::applyOptions(const Options &options) const {
    const qintptr descriptor = m_socket->socketDescriptor();
    int error = setBroadcastAllowed(descriptor, options.allowBroadcast);
    if (error == 0 && options.multicastTtl != NetworkOptions::DefaultMulticastTtl)
        error = setMulticastHops(descriptor, options.multicastTtl);
    if (error == 0 && !options.multicastInterface.isEmpty()) {
        const int index = interfaceIndex(options.multicastInterface);
        error = index < 0 ? ENODEV : setMulticastInterface(descriptor, index);
    }
    return error;
}

quint16 UdpEndpoint::localPort() const {
    return m_socket->localPort();
}

int UdpEndpoint::grantedReceiveBuffer() const {
    return receiveBufferSize(m_socket->socketDescriptor());
}

QString UdpEndpoint::errorString() const {
    return m_socket->errorString();
}

void UdpEndpoint::setPaused(bool paused) {
    m_paused = paused;
}

void UdpEndpoint::readWaiting() {
    const QPointer<UdpEndpoint> self(this);
    // What each datagram asks to be written goes out once for the round.
    const DeliveryBatch delivery;
    bool armed = false;
    int handed = 0;
    // The handler may pause or close us; each round checks that the socket is still open.
    while (self && m_open && !m_paused) {
        if (m_nextInBatch < m_batch.size()) {
            const int next = m_nextInBatch++;
            m_datagram = m_batch.data(next);
            m_senderAddress = m_batch.sender(next);
            m_senderPort = m_batch.senderPort(next);
        } else if (!armed) {
            // Qt's own read arms the socket's notifier again; the batched reads past it do not.
            if (!m_socket->hasPendingDatagrams())
                break;
            const QNetworkDatagram datagram = m_socket->receiveDatagram();
            if (!datagram.isValid())
                break;
            armed = true;
            m_datagram = datagram.data();
            m_senderAddress = datagram.senderAddress();
            m_senderPort = quint16(datagram.senderPort());
        } else {
            if (handed >= RoundShare || m_batch.read(m_socket->socketDescriptor()) <= 0)
                break;
            m_nextInBatch = 0;
            continue;
        }
        ++handed;
        emit datagramArrived(m_datagram.size());
    }
}

qint64 UdpEndpoint::systemDrops() const {
    return socketDrops(m_socket->socketDescriptor());
}

bool UdpEndpoint::send(const QByteArray &data, const QHostAddress &to, quint16 port) {
    return sendThrough(
        [&](QUdpSocket &socket) { return socket.writeDatagram(data, to, port) == data.size(); });
}

bool UdpEndpoint::sendThrough(const std::function<bool(QUdpSocket &)> &write) {
    ++m_sending;
    m_raisedInSend.reset();
    errno = 0;
    const bool whole = write(*m_socket);
    // Qt keeps only a coarse error ("Unable to send a datagram"); the system's own tells a
    // refused broadcast (EACCES) apart.
    const int cause = errno;
    --m_sending;
    if (whole && !m_raisedInSend)
        return true;
    m_failure = cause != 0 ? winsockErrorForErrno(cause)
                           : winsockError(m_socket->error(), m_socket->errorString());
    return false;
}

bool UdpEndpoint::joinGroups(const QList<QHostAddress> &groups, const QString &interfaceName,
                             QString *errorText) {
    const int index = interfaceIndex(interfaceName);
    m_joinedInterface = qMax(index, 0);
    for (const QHostAddress &group : groups) {
        if (m_joinedGroups.contains(group))
            continue;
        const int error =
            index < 0 ? ENODEV : changeMembership(m_socket->socketDescriptor(), group, index, true);
        if (error != 0) {
            m_failure = winsockErrorForErrno(error);
            if (errorText) {
                const QString where =
                    interfaceName.isEmpty() ? QString() : QStringLiteral(" on ") + interfaceName;
                *errorText = QStringLiteral("Cannot join group %1%2: %3")
                                 .arg(group.toString(), where, failureText(m_failure));
            }
            leaveGroups();
            return false;
        }
        m_joinedGroups.append(group);
    }
    return true;
}

void UdpEndpoint::leaveGroups() {
    for (const QHostAddress &group : std::exchange(m_joinedGroups, {}))
        changeMembership(m_socket->socketDescriptor(), group, m_joinedInterface, false);
}

void UdpEndpoint::close() {
    m_open = false;
    ++m_lookupRound;
    leaveGroups();
    m_socket->disconnect(this);
    m_socket->abort();
}

void UdpEndpoint::lookUp(const QString &host, const HostLookup &lookup) {
    m_lookedUpHost.clear();
    m_lookedUpAddress.clear();
    m_hostNotFound = false;
    const quint64 round = ++m_lookupRound;
    QTimer::singleShot(LookupTimeoutMs, this, [this, round, host] { onLookedUp(round, host, {}); });
    lookup(host, this,
           [self = QPointer<UdpEndpoint>(this), round, host](const QList<QHostAddress> &addresses) {
               if (self)
                   self->onLookedUp(round, host, addresses);
           });
}

void UdpEndpoint::onLookedUp(quint64 round, const QString &host,
                             const QList<QHostAddress> &addresses) {
    if (round != m_lookupRound)
        return;
    ++m_lookupRound; // the first of answer and timeout ends the lookup
    emit lookupEnded(host, addresses);
}

void UdpEndpoint::keepLookedUp(const QString &host, const QList<QHostAddress> &addresses) {
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

QHostAddress UdpEndpoint::lookedUpAddress(const QString &host) const {
    return host == m_lookedUpHost ? m_lookedUpAddress : QHostAddress();
}
