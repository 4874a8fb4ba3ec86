#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// A blocking POSIX socket for the peers, which run on their own threads and never touch Qt.
class PeerSocket {
public:
    PeerSocket() = default;
    explicit PeerSocket(int fd) : m_fd(fd) {}
    ~PeerSocket() { close(); }
    PeerSocket(const PeerSocket &) = delete;
    PeerSocket &operator=(const PeerSocket &) = delete;
    PeerSocket(PeerSocket &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    PeerSocket &operator=(PeerSocket &&other) noexcept;

    // TCP to 127.0.0.1:port; invalid (with errno set) when the connection fails.
    static PeerSocket connectTcp(std::uint16_t port, bool noDelay);
    // UDP connected to 127.0.0.1:port.
    static PeerSocket connectUdp(std::uint16_t port);
    // A TCP listener on 127.0.0.1 with a port chosen by the system.
    static PeerSocket listenTcp(std::uint16_t &port);

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    PeerSocket accept() const;
    void setReceiveTimeout(std::chrono::milliseconds timeout) const;
    bool sendAll(const char *data, std::size_t count) const;
    // Bytes read (0 at end of stream), or -1 on error or timeout.
    long receive(char *data, std::size_t capacity) const;
    void close();

private:
    int m_fd = -1;
};
