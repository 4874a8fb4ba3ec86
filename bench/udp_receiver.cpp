#include "udp_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace {

// What the window's UDP listener asks for.
constexpr int ReceiveBuffer = 4 << 20;
constexpr int Batch = 64;
constexpr std::size_t Largest = 2048;

} // namespace

PlainUdpReceiver::PlainUdpReceiver() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    // A short timeout so the thread notices it is to stop.
    const timeval timeout{0, 100'000};
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer) != 0
        || ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0
        || ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { receive(); });
}

PlainUdpReceiver::~PlainUdpReceiver() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

void PlainUdpReceiver::receive() {
    std::array<std::array<char, Largest>, Batch> buffers;
    std::array<iovec, Batch> pieces;
    std::array<mmsghdr, Batch> messages;
    while (!m_stop) {
        for (int i = 0; i < Batch; ++i) {
            pieces[i] = {buffers[i].data(), Largest};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &pieces[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = ::recvmmsg(m_fd, messages.data(), Batch, MSG_WAITFORONE, nullptr);
        if (got > 0)
            m_received += got;
    }
}
