#include "net/datagram_link.h"

#include "net/socket_control.h"

DatagramLink::DatagramLink(const QHostAddress &address, quint16 port, Send send)
    : m_address(address), m_port(port), m_shown(SocketControl::DisplayAddress(address)),
      m_send(std::move(send)) {}

bool DatagramLink::send(const QByteArray &bytes) {
    if (!m_send(bytes, m_address, m_port))
        return false;
    m_sent += bytes.size();
    return true;
}
