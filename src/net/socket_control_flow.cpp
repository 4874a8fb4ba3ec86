// The socket control's flow: arrivals gathered during a flood, reading paused for a slow
// consumer, and delivery after Close.
#include "net/posix_descriptors.h"
#include "net/socket_control.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <utility>

namespace {

// During a flood every announced chunk costs the receive path (display, log entry, answers) a
// fixed amount whatever its size. While big chunks keep coming, an arrival below GatheredEnough
// waits up to GatherMs for more; a small chunk, as any exchange of messages brings, goes at once.
constexpr qint64 FloodChunk = 64 << 10;
constexpr qint64 GatheredEnough = 512 << 10;
constexpr int GatherMs = 1;
// How often a closed connection that still delivers looks whether the peer has it all.
constexpr int DeliveryWatchMs = 20;

} // namespace

// True while the arrival waits for more; the announcement then comes from the gather timer.
bool SocketControl::gatherMore(qint64 waiting) {
    if (waiting < GatheredEnough && m_lastChunk >= FloodChunk) {
        if (!m_gather.isActive())
            m_gather.start(GatherMs);
        return true;
    }
    m_gather.stop();
    m_lastChunk = waiting;
    return false;
}

void SocketControl::deliverGathered() {
    const DeferredDeletion::Scope busy(m_deletion);
    if (!m_tcp || m_paused)
        return;
    m_lastChunk = m_tcp->bytesAvailable();
    if (m_lastChunk > 0)
        emit DataArrival(m_lastChunk);
}

// A closed connection still delivers what it holds: this process's buffer first, then a
// half-close, so that the system sends the rest while the socket stays open and goes on reading.
// A socket closed outright, with bytes unread or while the peer still sends, is reset by the
// system, which drops the tail it had not sent yet. The connection counts as delivering until the
// peer has closed its side too, or `lingerMs` has passed: a socket closed while the peer still
// talks is reset, and a reset can cost the peer what it had received but not yet read. The
// bytes count as lost unless the peer acknowledged every one of them.
void SocketControl::deliverThenClose(QTcpSocket *socket, int lingerMs) {
    socket->setParent(nullptr);
    ++m_delivering;
    auto *watch = new QTimer(socket);
    // A descriptor of our own for the half-closed socket: Qt closes its one when it reads the
    // peer's close, yet the acknowledgement is still to be asked then.
    const auto own = std::make_shared<int>(-1);
    const auto finish = [this, socket, watch, own](bool lost) {
        if (!watch->isActive())
            return;
        watch->stop();
        if (*own >= 0)
            closeDescriptor(std::exchange(*own, -1));
        --m_delivering;
        m_lostOnClose |= lost;
        m_deletion.retire(socket, DeferredDeletion::Disposal::Later);
    };
    const auto since = std::make_shared<QElapsedTimer>();
    since->start();
    const auto acknowledged = std::make_shared<bool>(false);
    const auto check = [this, socket, since, own, acknowledged, lingerMs, finish] {
        const DeferredDeletion::Scope busy(m_deletion);
        socket->readAll(); // what the peer still says is not shown, yet must not wait unread
        const QAbstractSocket::SocketState state = socket->state();
        if (*own < 0 && state == QAbstractSocket::ConnectedState && socket->bytesToWrite() == 0) {
            *own = duplicateConnection(socket->socketDescriptor());
            shutdownSending(*own);
        }
        // Every byte and the end of the stream acknowledged.
        if (*own >= 0 && !*acknowledged && unacknowledgedBytes(*own) == 0)
            *acknowledged = true;
        if (state == QAbstractSocket::UnconnectedState)
            finish(*own < 0 ? socket->bytesToWrite() > 0 : !*acknowledged);
        else if (since->hasExpired(lingerMs))
            finish(!*acknowledged);
    };
    connect(watch, &QTimer::timeout, this, check);
    connect(socket, &QIODevice::bytesWritten, this, check);
    connect(socket, &QIODevice::readyRead, this, check);
    connect(socket, &QAbstractSocket::disconnected, this, check);
    connect(socket, &QAbstractSocket::errorOccurred, this, check);
    connect(this, &QObject::destroyed, socket, &QObject::deleteLater);
    watch->start(DeliveryWatchMs);
}

void SocketControl::setPaused(bool paused) {
    if (paused == m_paused)
        return;
    m_paused = paused;
    if (!paused)
        QTimer::singleShot(0, this, [this, session = m_session] {
            if (m_session != session || m_paused)
                return;
            if (m_tcp)
                onTcpReadyRead();
            else if (m_udp)
                onUdpReadyRead();
        });
}

qint64 SocketControl::BytesToWrite() const {
    return m_tcp ? m_tcp->bytesToWrite() : 0;
}
