#include "net/dtls_endpoint.h"

#include "net/socket_control.h"
#include "net/tls_context.h"
#include "net/tls_words.h"
#include "net/udp_endpoint.h"

#include <QDtls>
#include <QSslCipher>
#include <QUdpSocket>

#include <algorithm>

namespace {

constexpr int SweepMs = 500;
// A burst of dropped datagrams is told once in this long, with the count so far.
constexpr int DropNoteMs = 1000;
constexpr qsizetype RecordHeader = 13;

// A DTLS record: content type 20-25, then version 254.x.
bool isDtlsRecord(const QByteArray &datagram) {
    if (datagram.size() < RecordHeader)
        return false;
    const auto type = quint8(datagram.at(0));
    return type >= 20 && type <= 25 && quint8(datagram.at(1)) == 0xfe;
}

// A handshake record of epoch 0 holding a ClientHello: a peer that starts afresh.
bool isClientHello(const QByteArray &datagram) {
    return isDtlsRecord(datagram) && datagram.size() > RecordHeader && datagram.at(0) == 22
           && datagram.at(3) == 0 && datagram.at(4) == 0 && datagram.at(RecordHeader) == 1;
}

} // namespace

struct DtlsEndpoint::Peer {
    QHostAddress address;
    quint16 port = 0;
    std::unique_ptr<QDtls> dtls;
    QElapsedTimer began;
    QElapsedTimer heard;
    QString summary;
    bool shown = false;

    bool secured() const { return dtls->handshakeState() == QDtls::HandshakeComplete; }
};

DtlsEndpoint::DtlsEndpoint(UdpEndpoint *udp, std::shared_ptr<const TlsContext> context,
                           QObject *parent)
    : QObject(parent), m_udp(udp), m_context(std::move(context)),
      m_configuration(m_context->configuration()) {
    m_configuration.setProtocol(QSsl::DtlsV1_2OrLater);
    if (!isClient())
        m_verifier = std::make_unique<QDtlsClientVerifier>();
    connect(&m_sweep, &QTimer::timeout, this, &DtlsEndpoint::sweep);
    m_sweep.start(SweepMs);
}

DtlsEndpoint::~DtlsEndpoint() = default;

bool DtlsEndpoint::isClient() const {
    return m_context->role() == TlsContext::Role::Client;
}

bool DtlsEndpoint::write(const std::function<bool(QUdpSocket &)> &write) {
    return m_udp->sendThrough(write);
}

DtlsEndpoint::Peer *DtlsEndpoint::find(const QHostAddress &address, quint16 port) const {
    for (const std::unique_ptr<Peer> &peer : m_peers) {
        if (peer->port == port && peer->address.isEqual(address))
            return peer.get();
    }
    return nullptr;
}

bool DtlsEndpoint::take(const QByteArray &datagram, const QHostAddress &from, quint16 port,
                        QByteArray &plain) {
    const QString sender = SocketControl::DisplayEnd(from, port);
    if (!isDtlsRecord(datagram)) {
        dropDatagram(QStringLiteral("Dropped %1 bytes from %2, which are no DTLS: the peer sent "
                                    "plain text")
                         .arg(datagram.size())
                         .arg(sender));
        return false;
    }
    Peer *peer = find(from, port);
    // A server's peer that starts afresh loses the session it had.
    if (peer && !isClient() && peer->secured() && isClientHello(datagram)) {
        remove(*peer);
        peer = nullptr;
    }
    if (!peer) {
        // What a peer whose handshake just failed still sends is the rest of that handshake.
        if (sender == m_failedPeer && !isClientHello(datagram))
            return false;
        if (isClient() || !isClientHello(datagram)) {
            dropDatagram(QStringLiteral("Dropped a DTLS datagram from %1, which has no session "
                                        "here")
                             .arg(sender));
            return false;
        }
        if (Peer *admitted = admit(datagram, from, port))
            handshake(*admitted, m_verifier->verifiedHello());
        return false;
    }
    peer->heard.start();
    if (!peer->secured()) {
        handshake(*peer, datagram);
        return false;
    }
    write([&](QUdpSocket &socket) {
        plain = peer->dtls->decryptDatagram(&socket, datagram);
        return true;
    });
    if (!plain.isEmpty())
        return true;
    // A close_notify ends the session; anything else that did not decrypt is dropped.
    if (!peer->dtls->isConnectionEncrypted()) {
        m_closedBy = sender;
        remove(*peer);
    }
    return false;
}

// The cookie costs one answer and no state; only a peer that returns it is kept.
DtlsEndpoint::Peer *DtlsEndpoint::admit(const QByteArray &hello, const QHostAddress &from,
                                        quint16 port) {
    bool verified = false;
    write([&](QUdpSocket &socket) {
        verified = m_verifier->verifyClient(&socket, hello, from, port);
        return true;
    });
    if (!verified)
        return nullptr;
    sweep();
    if (qsizetype(m_peers.size()) >= MaxPeers) {
        const QString sender = SocketControl::DisplayEnd(from, port);
        if (std::find(m_turnedAway.begin(), m_turnedAway.end(), sender) != m_turnedAway.end())
            return nullptr; // its handshake again, counted already
        m_turnedAway.push_back(sender);
        if (qsizetype(m_turnedAway.size()) > MaxPeers)
            m_turnedAway.pop_front();
        const QString told =
            std::exchange(m_fullTold, true)
                ? QString()
                : QStringLiteral("%1 DTLS peers hold sessions, the most at once: new peers are "
                                 "dropped until one leaves")
                      .arg(MaxPeers);
        emit note(told, true);
        return nullptr;
    }
    return add(from, port, {});
}

DtlsEndpoint::Peer *DtlsEndpoint::add(const QHostAddress &address, quint16 port,
                                      const QString &host) {
    auto peer = std::make_unique<Peer>();
    peer->address = address;
    peer->port = port;
    peer->dtls =
        std::make_unique<QDtls>(isClient() ? QSslSocket::SslClientMode : QSslSocket::SslServerMode);
    peer->dtls->setDtlsConfiguration(m_configuration);
    peer->dtls->setPeer(address, port, host);
    peer->began.start();
    peer->heard.start();
    connect(peer->dtls.get(), &QDtls::handshakeTimeout, this,
            [this, dtls = peer->dtls.get()] { onTimeout(dtls); });
    m_peers.push_back(std::move(peer));
    return m_peers.back().get();
}

void DtlsEndpoint::connectTo(const QString &host, const QHostAddress &address, quint16 port) {
    while (!m_peers.empty())
        remove(*m_peers.front());
    handshake(*add(address, port, host), {});
}

void DtlsEndpoint::handshake(Peer &peer, const QByteArray &datagram) {
    bool done = false;
    const bool wrote = write([&](QUdpSocket &socket) {
        done = peer.dtls->doHandshake(&socket, datagram);
        return true;
    });
    switch (peer.dtls->handshakeState()) {
    case QDtls::HandshakeComplete:
        finish(peer);
        return;
    case QDtls::PeerVerificationFailed:
        fail(peer, verificationText(peer.dtls->peerVerificationErrors()));
        return;
    default:
        break;
    }
    if (!wrote)
        fail(peer, failureText(m_udp->failure()));
    else if (!done && peer.dtls->dtlsError() != QDtlsError::NoError)
        fail(peer, handshakeErrorWords(peer.dtls->dtlsErrorString()));
}

void DtlsEndpoint::onTimeout(const QDtls *dtls) {
    const auto found = std::find_if(m_peers.begin(), m_peers.end(),
                                    [dtls](const auto &peer) { return peer->dtls.get() == dtls; });
    if (found == m_peers.end())
        return;
    Peer &peer = **found;
    write([&peer](QUdpSocket &socket) { return peer.dtls->handleTimeout(&socket); });
}

void DtlsEndpoint::finish(Peer &peer) {
    const QSslCertificate certificate = peer.dtls->dtlsConfiguration().peerCertificate();
    if (isClient()) {
        if (const QString mismatch = pinMismatch(certificate, m_context->options().pin);
            !mismatch.isEmpty()) {
            fail(peer, mismatch);
            return;
        }
    }
    peer.summary =
        securitySummary(peer.dtls->sessionProtocol(), peer.dtls->sessionCipher(), certificate, {});
    emit secured(peer.summary);
}

void DtlsEndpoint::fail(Peer &peer, const QString &why) {
    m_failedPeer = SocketControl::DisplayEnd(peer.address, peer.port);
    const QString text = QStringLiteral("DTLS handshake with %1 failed: %2").arg(m_failedPeer, why);
    write([&peer](QUdpSocket &socket) {
        if (peer.dtls->handshakeState() == QDtls::PeerVerificationFailed)
            return peer.dtls->abortHandshake(&socket);
        if (peer.secured())
            return peer.dtls->shutdown(&socket);
        return true;
    });
    remove(peer);
    emit failed(text);
}

// The session may be the one whose signal is running: it goes once that has returned.
void DtlsEndpoint::remove(const Peer &peer) {
    const auto found = std::find_if(m_peers.begin(), m_peers.end(),
                                    [&peer](const auto &held) { return held.get() == &peer; });
    if (found == m_peers.end())
        return;
    QDtls *dtls = (*found)->dtls.release();
    dtls->disconnect(this);
    dtls->deleteLater();
    m_peers.erase(found);
    if (qsizetype(m_peers.size()) < MaxPeers) {
        m_fullTold = false;
        m_turnedAway.clear();
    }
}

// Idle sessions end quietly; a handshake past its time fails and says so.
void DtlsEndpoint::sweep() {
    std::vector<Peer *> idle, late;
    for (const std::unique_ptr<Peer> &peer : m_peers) {
        if (peer->secured() && peer->heard.hasExpired(IdleMs))
            idle.push_back(peer.get());
        else if (!peer->secured() && peer->began.hasExpired(HandshakeLimitMs))
            late.push_back(peer.get());
    }
    for (const Peer *peer : idle) {
        write([peer](QUdpSocket &socket) { return peer->dtls->shutdown(&socket); });
        remove(*peer);
    }
    // Whoever hears of a failure may close the endpoint, and with it every session.
    for (Peer *peer : late) {
        if (std::any_of(m_peers.begin(), m_peers.end(),
                        [peer](const auto &held) { return held.get() == peer; }))
            fail(*peer, QStringLiteral("no answer within %1 s").arg(HandshakeLimitMs / 1000));
    }
}

void DtlsEndpoint::shutDown() {
    while (!m_peers.empty()) {
        const Peer &peer = *m_peers.front();
        if (peer.secured())
            write([&peer](QUdpSocket &socket) { return peer.dtls->shutdown(&socket); });
        remove(peer);
    }
}

void DtlsEndpoint::dropDatagram(const QString &why) {
    ++m_droppedDatagrams;
    if (m_sinceDropNote.isValid() && !m_sinceDropNote.hasExpired(DropNoteMs))
        return;
    m_sinceDropNote.start();
    emit note(why + QStringLiteral(" (%1 dropped so far)").arg(m_droppedDatagrams), false);
}

bool DtlsEndpoint::send(const QByteArray &data, const QHostAddress &to, quint16 port) {
    Peer *peer = find(to, port);
    if (!peer || !peer->secured()) {
        const QString target = SocketControl::DisplayEnd(to, port);
        m_sendFailure = target == m_closedBy
                            ? QStringLiteral("%1 closed the DTLS session").arg(target)
                            : QStringLiteral("no DTLS session with %1").arg(target);
        return false;
    }
    if (data.size() > LargestDatagram) {
        m_sendFailure =
            QStringLiteral("a DTLS datagram holds at most %1 bytes").arg(LargestDatagram);
        return false;
    }
    const bool sent = write([&](QUdpSocket &socket) {
        return peer->dtls->writeDatagramEncrypted(&socket, data) == data.size();
    });
    if (!sent)
        m_sendFailure = peer->dtls->dtlsError() != QDtlsError::NoError
                            ? peer->dtls->dtlsErrorString()
                            : failureText(m_udp->failure());
    return sent;
}

QString DtlsEndpoint::summary(const QHostAddress &address, quint16 port) const {
    const Peer *peer = find(address, port);
    return peer ? peer->summary : QString();
}

QString DtlsEndpoint::takeFirstSecurity(const QHostAddress &address, quint16 port) {
    Peer *peer = find(address, port);
    if (!peer || std::exchange(peer->shown, true))
        return {};
    return peer->summary;
}
