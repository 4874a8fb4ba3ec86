// The socket control's UDP side: bind, datagrams, lookup of the host sends go to, and what
// reaches beyond one peer (the local address, broadcast, multicast, sends from the bound port).
#include "net/socket_control.h"

bool SocketControl::Bind() {
    m_lastFailure = {};
    if (m_protocol != UdpProtocol || m_state != Closed)
        return false;
    auto *udp = new UdpEndpoint(this);
    if (!udp->bind(m_localAddress, m_localPort, m_udpOptions)) {
        m_lastFailure = udp->failure();
        delete udp;
        return false;
    }
    ++m_session;
    m_udp = udp;
    udp->setPaused(m_paused);
    connect(udp, &UdpEndpoint::datagramArrived, this, &SocketControl::onDatagram);
    connect(udp, &UdpEndpoint::socketError, this, &SocketControl::onUdpError);
    connect(udp, &UdpEndpoint::lookupEnded, this, &SocketControl::onHostLookedUp);
    m_boundPort = udp->localPort();
    setState(Open);
    if (m_tls)
        wireDtls(udp);
    return true;
}

// The sessions go with the endpoint they write through.
void SocketControl::wireDtls(UdpEndpoint *udp) {
    m_dtls = new DtlsEndpoint(udp, m_tls, udp);
    m_plain.clear();
    m_secureFailure.clear();
    connect(m_dtls, &DtlsEndpoint::secured, this, [this] {
        const DeferredDeletion::Scope busy(m_deletion);
        if (m_state == Connecting)
            setState(Open);
        emit Secured();
    });
    connect(m_dtls, &DtlsEndpoint::failed, this, [this](const QString &why) {
        const DeferredDeletion::Scope busy(m_deletion);
        if (m_state == Connecting) {
            m_secureFailure = why;
            setState(Open);
            return;
        }
        emit SecureNote(why, false);
    });
    connect(m_dtls, &DtlsEndpoint::note, this, [this](const QString &text, bool peerDropped) {
        const DeferredDeletion::Scope busy(m_deletion);
        emit SecureNote(text, peerDropped);
    });
}

void SocketControl::onDatagram(qint64 size) {
    const DeferredDeletion::Scope busy(m_deletion);
    const QHostAddress from = m_udp->senderAddress();
    // A handshake this datagram completes is told with its sender.
    m_remoteHostIP = DisplayAddress(from);
    if (m_dtls) {
        const quint16 port = m_udp->senderPort();
        if (!m_dtls->take(m_udp->takeDatagram(), from, port, m_plain) || !m_udp)
            return;
        size = m_plain.size();
        m_firstChunkSecurity = m_dtls->takeFirstSecurity(from, port);
    }
    emit DataArrival(size);
}

qint64 SocketControl::SystemDrops() const {
    return m_udp && m_state != Closed ? m_udp->systemDrops() : -1;
}

bool SocketControl::SecureRemoteHost() {
    const QHostAddress to = RemoteAddress();
    if (m_protocol != UdpProtocol || m_state != Open || !m_dtls || to.isNull() || m_remotePort == 0
        || !m_tls || m_tls->role() != TlsContext::Role::Client)
        return false;
    m_secureFailure.clear();
    setState(Connecting);
    m_dtls->connectTo(hostText(m_remoteHost), to, m_remotePort);
    return true;
}

QString SocketControl::SecuritySummary() const {
    if (m_tcp)
        return m_tcp->securitySummary();
    return m_dtls && m_udp ? m_dtls->summary(m_udp->senderAddress(), m_udp->senderPort())
                           : QString();
}

void SocketControl::onUdpError(QAbstractSocket::SocketError qtError) {
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
        if (m_udp->senderPort() == 0 || m_udp->senderAddress().isNull())
            return false;
        return sendDatagram(data, m_udp->senderAddress(), m_udp->senderPort());
    }
    const QHostAddress to = RemoteAddress();
    if (to.isNull() && m_udp->hostNotFound())
        m_lastFailure = winsockError(11001);
    if (m_remotePort == 0 || to.isNull())
        return false;
    return sendDatagram(data, to, m_remotePort);
}

bool SocketControl::sendDatagram(const QByteArray &data, const QHostAddress &to, quint16 port) {
    if (m_dtls) {
        if (m_dtls->send(data, to, port))
            return true;
        m_lastFailure = {0, m_dtls->sendFailure()};
        return false;
    }
    if (m_udp->send(data, to, port))
        return true;
    m_sendRaised = m_udp->raisedInSend();
    m_lastFailure = m_udp->failure();
    return false;
}

QHostAddress SocketControl::RemoteAddress() const {
    const QString host = hostText(m_remoteHost);
    const QHostAddress literal(host);
    if (!literal.isNull())
        return literal;
    if (host.isEmpty() || !m_udp)
        return {};
    return m_udp->lookedUpAddress(host);
}

bool SocketControl::LookUpRemoteHost() {
    const QString host = hostText(m_remoteHost);
    if (m_protocol != UdpProtocol || m_state != Open || !m_udp || host.isEmpty()
        || !QHostAddress(host).isNull())
        return false;
    setState(ResolvingHost);
    m_udp->lookUp(host, m_hostLookup);
    return true;
}

void SocketControl::onHostLookedUp(const QString &host, const QList<QHostAddress> &addresses) {
    if (m_state != ResolvingHost || !m_udp)
        return;
    setState(Open);
    m_udp->keepLookedUp(host, addresses);
}

bool SocketControl::setLocalAddress(const QHostAddress &address) {
    if (!address.isNull() && address.protocol() != QAbstractSocket::IPv4Protocol
        && address.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    m_localAddress = address;
    return true;
}

void SocketControl::setAllowBroadcast(bool allowed) {
    m_udpOptions.allowBroadcast = allowed;
}

void SocketControl::setReceiveBuffer(int bytes) {
    m_udpOptions.receiveBufferBytes = qMax(bytes, 0);
}

int SocketControl::GrantedReceiveBuffer() const {
    return m_udp ? m_udp->grantedReceiveBuffer() : 0;
}

bool SocketControl::setMulticastTtl(int ttl) {
    if (ttl < 0 || ttl > NetworkOptions::MaxMulticastTtl)
        return false;
    m_udpOptions.multicastTtl = ttl;
    return true;
}

bool SocketControl::setMulticastInterface(const QString &name) {
    if (UdpEndpoint::interfaceIndex(name) < 0)
        return false;
    m_udpOptions.multicastInterface = name;
    return true;
}

WinsockError SocketControl::LastFailure() const {
    return m_lastFailure;
}

bool SocketControl::JoinGroups(const QList<QHostAddress> &groups, QString *errorText) {
    m_lastFailure = {};
    if (m_protocol != UdpProtocol || m_state != Open || !m_udp)
        return false;
    if (m_udp->joinGroups(groups, m_udpOptions.multicastInterface, errorText))
        return true;
    m_lastFailure = m_udp->failure();
    return false;
}

bool SocketControl::SendDatagramTo(const QByteArray &data, const QHostAddress &host, quint16 port) {
    m_lastFailure = {};
    if (m_protocol != UdpProtocol || m_state != Open || !m_udp || host.isNull() || port == 0)
        return false;
    return sendDatagram(data, host, port);
}
