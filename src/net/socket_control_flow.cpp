// The socket control's flow: arrivals gathered during a flood, reading paused for a slow
// consumer, and delivery after Close.
#include "net/socket_control.h"

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

// A closed connection counts as delivering until it has closed (everything left), failed or
// gone at the end of its linger with bytes still waiting.
void SocketControl::countDelivery(QAbstractSocket *socket) {
    ++m_delivering;
    const auto ended = std::make_shared<bool>(false);
    const auto end = [this, ended](bool lost) {
        if (std::exchange(*ended, true))
            return;
        --m_delivering;
        m_lostOnClose |= lost;
    };
    connect(socket, &QAbstractSocket::disconnected, this,
            [end, socket] { end(socket->bytesToWrite() > 0); });
    connect(socket, &QAbstractSocket::errorOccurred, this, [end] { end(true); });
    connect(socket, &QObject::destroyed, this, [end] { end(true); });
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
