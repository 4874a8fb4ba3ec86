// A sequence run's links: the connection each target gets at its first send, what it brings,
// and its close.
#include "sender/sequence_run.h"

#include "model/received_entries.h"
#include "net/socket_control.h"

#include <algorithm>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

// A TCP connection is made; a UDP socket is bound and knows its peer's address.
bool linkReady(const SocketControl &sock, bool tcp) {
    return tcp ? sock.State() == SocketControl::Connected
               : sock.State() == SocketControl::Open && !sock.RemoteAddress().isNull();
}

} // namespace

// A socket aimed at `target` and opened (a TCP connect begun; UDP bound, its host looked up);
// nothing, with `why`, when it cannot be.
SocketControl *SequenceRun::openSocket(const PacketTarget &target, const QString &key,
                                       QString &why) {
    const bool tcp = target.kind == PacketTarget::Kind::Tcp;
    std::shared_ptr<const TlsContext> tls;
    if (target.tls) {
        TlsOptions options = m_setup.clientTls;
        options.enabled = true;
        tls = TlsContext::load(options, TlsContext::Role::Client, why);
        if (!tls) {
            why = u"%1 could not be opened: %2"_s.arg(key, why);
            return nullptr;
        }
    }
    auto *sock = new SocketControl(this);
    sock->setProtocol(tcp ? SocketControl::TcpProtocol : SocketControl::UdpProtocol);
    sock->setRemoteHost(target.host);
    sock->setRemotePort(target.port);
    sock->setTls(tls);
    const bool opened =
        tcp ? sock->Connect()
            : sock->setLocalPort(0) && sock->Bind()
                  && (!QHostAddress(target.host).isNull() || sock->LookUpRemoteHost());
    if (!opened) {
        why = u"%1 could not be opened: %2"_s.arg(key, sock->LastFailure().description);
        delete sock;
        return nullptr;
    }
    return sock;
}

// What the connection of `key` brings: its answers, its progress, its close and its errors.
void SequenceRun::follow(SocketControl *sock, const QString &key, bool tcp, int port) {
    connect(sock, &SocketControl::DataArrival, this, [this, sock, key, tcp, port] {
        const QByteArray bytes = sock->GetData();
        // A datagram from anyone but the target answers nothing of this run.
        if (!tcp
            && (sock->PeerPort() != port
                || !QHostAddress(sock->RemoteHostIP())
                        .isEqual(sock->RemoteAddress(), QHostAddress::ConvertV4MappedToIPv4)))
            return;
        if (const auto at = m_links.find(key); at != m_links.end())
            arrived(at->second, bytes);
    });
    connect(sock, &SocketControl::BytesWritten, this, &SequenceRun::deliveryProgressed);
    connect(sock, &SocketControl::DeliveryEnded, this, &SequenceRun::deliveryProgressed);
    connect(sock, &SocketControl::PeerClosed, this, [this, key] {
        if (const auto at = m_links.find(key); at != m_links.end() && m_running)
            closed(at->second);
    });
    connect(sock, &SocketControl::Error, this, [this, key](int number, const QString &description) {
        // Number 0: a failed TLS handshake, which says it all in words.
        if (m_running)
            fail(number == 0 ? u"%1: %2"_s.arg(key, description)
                             : u"%1: %2 - %3"_s.arg(key).arg(number).arg(description));
    });
}

// The connection of `target`, made at its first send. Nothing, with `why`, when it cannot be had;
// nothing and no `why` while it is being opened (the steps go on once it is).
SequenceRun::Connection *SequenceRun::linkFor(const PacketTarget &target, QString &why) {
    if (target.kind == PacketTarget::Kind::None) {
        why = u"the packet has no target (to = ...)"_s;
        return nullptr;
    }
    if (target.kind == PacketTarget::Kind::Peer) {
        const SocketControl *peer = m_setup.peer ? m_setup.peer() : nullptr;
        if (!peer || peer->State() != SocketControl::Connected) {
            why = u"no TCP peer is connected to the listener"_s;
            return nullptr;
        }
        return &m_links[target.text()];
    }
    const QString key = target.label();
    auto found = m_links.find(key);
    if (found == m_links.end()) {
        SocketControl *sock = openSocket(target, key, why);
        if (!sock)
            return nullptr;
        follow(sock, key, target.kind == PacketTarget::Kind::Tcp, target.port);
        Connection link;
        link.socket = sock;
        found = m_links.emplace(key, std::move(link)).first;
    }
    SocketControl *sock = found->second.socket;
    if (linkReady(*sock, target.kind == PacketTarget::Kind::Tcp))
        return &found->second;
    awaitOpen(sock, key, target.kind == PacketTarget::Kind::Tcp);
    return nullptr;
}

// Looks whether a connection still opening is ready at first and at each change of its state,
// until the connect time is up; the steps go on once it is, or the run fails saying why it is not
// (a target that closed it says so at the first look). Each look comes from the event loop, after
// the change's own event (an error, the peer's close) has been handled.
void SequenceRun::awaitOpen(SocketControl *sock, const QString &key, bool tcp) {
    auto *waiter = new QObject(this);
    auto done = std::make_shared<bool>(false);
    auto look = [this, waiter, done, sock = QPointer(sock), key, tcp](bool expired) {
        if (*done)
            return;
        if (!m_running || !sock) {
            *done = true;
            waiter->deleteLater();
            return;
        }
        const bool isReady = linkReady(*sock, tcp);
        const bool failed = sock->State() == SocketControl::Failed
                            || sock->State() == SocketControl::Closing
                            || (!tcp && sock->State() == SocketControl::Open && !isReady);
        if (!isReady && !failed && !expired)
            return;
        *done = true;
        waiter->deleteLater();
        const auto link = m_links.find(key);
        if (isReady)
            runSteps();
        else if (m_running && !sock->SecureFailure().isEmpty())
            fail(sock->SecureFailure());
        else if (m_running && link != m_links.end() && !link->second.closed.isEmpty())
            fail(link->second.closed);
        else if (m_running)
            fail(u"%1 could not be reached"_s.arg(key));
    };
    connect(
        sock, &SocketControl::StateChanged, waiter, [look] { look(false); }, Qt::QueuedConnection);
    QTimer::singleShot(0, waiter, [look] { look(false); });
    QTimer::singleShot(ConnectTimeoutMs, Qt::PreciseTimer, waiter, [look] { look(true); });
}

bool SequenceRun::delivering() const {
    return std::any_of(m_links.begin(), m_links.end(), [](const auto &named) {
        const SocketControl *sock = named.second.socket;
        return sock && (sock->Delivering() > 0 || sock->BytesToWrite() > 0);
    });
}

void SequenceRun::peerChunk(const ReceivedChunk &chunk) {
    if (const auto at = m_links.find(u"peer"_s); at != m_links.end())
        arrived(at->second, chunk.data);
}

void SequenceRun::arrived(Connection &link, QByteArrayView bytes) {
    link.held += bytes;
    if (link.held.size() > MaxHeld) {
        link.dropped += link.held.size() - MaxHeld;
        link.held.remove(0, link.held.size() - MaxHeld);
    }
    if (m_running && m_waiting && &link == m_lastLink && checkExpect()) {
        ++m_step;
        runSteps();
    }
}

// Nothing more comes from a target that closed: the expect waiting on it fails now, and a later
// step that needs it says why it cannot go on.
void SequenceRun::closed(Connection &link) {
    link.closed = u"the target closed the connection "_s + stepsPassed();
    if (m_waiting && &link == m_lastLink)
        fail(link.closed + u"; "_s + arrivedInstead());
}
