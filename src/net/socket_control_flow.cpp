// The socket control's flow: reading paused for a slow consumer, and delivery after Close.
#include "net/socket_control.h"

#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <utility>

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
