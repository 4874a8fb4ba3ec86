// What reaches beyond one peer: the local address, broadcast, multicast groups and sends from a
// bound socket's own port.
#include "net/socket_control.h"

#include "net/network_options.h"
#include "net/udp_descriptors.h"

#include <QNetworkInterface>
#include <QUdpSocket>

#include <cerrno>
#include <utility>

namespace {

// The interface's index; 0 for the system's choice, -1 for a name that no interface has.
int interfaceIndex(const QString &name) {
    if (name.isEmpty())
        return 0;
    const int index = QNetworkInterface::interfaceIndexFromName(name);
    return index > 0 ? index : -1;
}

} // namespace

bool SocketControl::setLocalAddress(const QHostAddress &address) {
    if (!address.isNull() && address.protocol() != QAbstractSocket::IPv4Protocol
        && address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    m_localAddress = address;
    return true;
}

QHostAddress SocketControl::LocalAddress() const {
    return m_localAddress;
}

void SocketControl::setAllowBroadcast(bool allowed) {
    m_allowBroadcast = allowed;
}

bool SocketControl::setMulticastTtl(int ttl) {
    if (ttl < 0 || ttl > NetworkOptions::MaxMulticastTtl)
        return false;
    m_multicastTtl = ttl;
    return true;
}

bool SocketControl::setMulticastInterface(const QString &name) {
    if (interfaceIndex(name) < 0)
        return false;
    m_multicastInterface = name;
    return true;
}

WinsockError SocketControl::LastFailure() const {
    return m_lastFailure;
}

// Broadcast is set either way, since Qt allows it on every UDP socket; the others only when
// chosen, so a socket without options is what it always was.
int SocketControl::applyUdpOptions(QUdpSocket *socket) const {
    const qintptr descriptor = socket->socketDescriptor();
    int error = setBroadcastAllowed(descriptor, m_allowBroadcast);
    if (error == 0 && m_multicastTtl != NetworkOptions::DefaultMulticastTtl)
        error = setMulticastHops(descriptor, m_multicastTtl);
    if (error == 0 && !m_multicastInterface.isEmpty()) {
        const int index = interfaceIndex(m_multicastInterface);
        error = index < 0 ? ENODEV : ::setMulticastInterface(descriptor, index);
    }
    return error;
}

bool SocketControl::JoinGroups(const QList<QHostAddress> &groups, QString *errorText) {
    m_lastFailure = {};
    if (m_protocol != UdpProtocol || m_state != Open || !m_udp)
        return false;
    const int index = interfaceIndex(m_multicastInterface);
    m_joinedInterface = qMax(index, 0);
    for (const QHostAddress &group : groups) {
        if (m_joinedGroups.contains(group))
            continue;
        const int error =
            index < 0 ? ENODEV : changeMembership(m_udp->socketDescriptor(), group, index, true);
        if (error != 0) {
            m_lastFailure = winsockErrorForErrno(error);
            if (errorText) {
                const QString where = m_multicastInterface.isEmpty()
                                          ? QString()
                                          : QStringLiteral(" on ") + m_multicastInterface;
                *errorText = QStringLiteral("Cannot join group %1%2: %3")
                                 .arg(group.toString(), where, failureText(m_lastFailure));
            }
            leaveGroups();
            return false;
        }
        m_joinedGroups.append(group);
    }
    return true;
}

void SocketControl::leaveGroups() {
    for (const QHostAddress &group : std::exchange(m_joinedGroups, {})) {
        if (m_udp)
            changeMembership(m_udp->socketDescriptor(), group, m_joinedInterface, false);
    }
}

bool SocketControl::SendDatagramTo(const QByteArray &data, const QHostAddress &host, quint16 port) {
    m_lastFailure = {};
    if (m_protocol != UdpProtocol || m_state != Open || !m_udp || host.isNull() || port == 0)
        return false;
    return sendDatagram(data, host, port);
}
