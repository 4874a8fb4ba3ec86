#include "net/datagram_batch.h"

#include <QNetworkInterface>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

DatagramBatch::DatagramBatch() = default;
DatagramBatch::~DatagramBatch() = default;

void DatagramBatch::prepare() {
    // Not filled: untouched pages cost no memory.
    m_slots.reset(new char[std::size_t(Capacity) * std::size_t(SlotBytes)]);
    m_pieces = std::make_unique<iovec[]>(Capacity);
    m_messages = std::make_unique<mmsghdr[]>(Capacity);
    m_senders = std::make_unique<sockaddr_storage[]>(Capacity);
}

int DatagramBatch::read(qintptr descriptor) {
    if (!m_slots)
        prepare();
    for (int i = 0; i < Capacity; ++i) {
        m_pieces[i] = {m_slots.get() + qsizetype(i) * SlotBytes, std::size_t(SlotBytes)};
        mmsghdr &message = m_messages[i];
        message = {};
        message.msg_hdr.msg_name = &m_senders[i];
        message.msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        message.msg_hdr.msg_iov = &m_pieces[i];
        message.msg_hdr.msg_iovlen = 1;
    }
    int got = -1;
    do {
        got = ::recvmmsg(int(descriptor), m_messages.get(), Capacity, MSG_DONTWAIT, nullptr);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        got = 0;
    m_count = qMax(got, 0);
    return got;
}

QByteArray DatagramBatch::data(int index) const {
    return QByteArray(m_slots.get() + qsizetype(index) * SlotBytes,
                      qsizetype(m_messages[index].msg_len));
}

// As Qt's own socket engine makes it, so an address compares equal whichever read it.
QHostAddress DatagramBatch::sender(int index) const {
    const sockaddr_storage &from = m_senders[index];
    QHostAddress address;
    if (from.ss_family == AF_INET6) {
        const auto &ipv6 = reinterpret_cast<const sockaddr_in6 &>(from);
        Q_IPV6ADDR bytes;
        std::memcpy(&bytes, &ipv6.sin6_addr, sizeof bytes);
        address.setAddress(bytes);
        if (ipv6.sin6_scope_id)
            address.setScopeId(QNetworkInterface::interfaceNameFromIndex(int(ipv6.sin6_scope_id)));
    } else if (from.ss_family == AF_INET) {
        address.setAddress(ntohl(reinterpret_cast<const sockaddr_in &>(from).sin_addr.s_addr));
    }
    return address;
}

quint16 DatagramBatch::senderPort(int index) const {
    const sockaddr_storage &from = m_senders[index];
    if (from.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(from).sin6_port);
    if (from.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(from).sin_port);
    return 0;
}
