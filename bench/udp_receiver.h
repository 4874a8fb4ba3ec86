#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

// The yardstick for the window's UDP listener: recvmmsg in batches on its own thread, nothing
// but a count above the system calls, with the receive buffer the listener asks for.
class PlainUdpReceiver {
public:
    PlainUdpReceiver();
    ~PlainUdpReceiver();
    PlainUdpReceiver(const PlainUdpReceiver &) = delete;
    PlainUdpReceiver &operator=(const PlainUdpReceiver &) = delete;

    bool valid() const { return m_port != 0; }
    std::uint16_t port() const { return m_port; }
    // Datagrams received since the start.
    std::int64_t received() const { return m_received; }

private:
    void receive();

    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::atomic<std::int64_t> m_received{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
