#include "peer_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

PeerSocket &PeerSocket::operator=(PeerSocket &&other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

PeerSocket PeerSocket::connectTcp(std::uint16_t port, bool noDelay) {
    PeerSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid())
        return socket;
    if (noDelay) {
        const int on = 1;
        ::setsockopt(socket.m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    const sockaddr_in address = loopback(port);
    if (::connect(socket.m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        socket.close();
    return socket;
}

PeerSocket PeerSocket::connectUdp(std::uint16_t port) {
    PeerSocket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.valid())
        return socket;
    const sockaddr_in address = loopback(port);
    if (::connect(socket.m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        socket.close();
    return socket;
}

PeerSocket PeerSocket::listenTcp(std::uint16_t &port) {
    PeerSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid())
        return socket;
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(socket.m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::listen(socket.m_fd, 4) != 0
        || ::getsockname(socket.m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        socket.close();
        return socket;
    }
    port = ntohs(address.sin_port);
    return socket;
}

PeerSocket PeerSocket::accept() const {
    return PeerSocket(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC));
}

void PeerSocket::setReceiveTimeout(std::chrono::milliseconds timeout) const {
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

bool PeerSocket::sendAll(const char *data, std::size_t count) const {
    while (count > 0) {
        const ssize_t sent = ::send(m_fd, data, count, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        count -= static_cast<std::size_t>(sent);
    }
    return true;
}

long PeerSocket::receive(char *data, std::size_t capacity) const {
    for (;;) {
        const ssize_t got = ::recv(m_fd, data, capacity, 0);
        if (got < 0 && errno == EINTR)
            continue;
        return static_cast<long>(got);
    }
}

void PeerSocket::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
