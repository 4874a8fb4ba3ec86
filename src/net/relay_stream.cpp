#include "net/relay_stream.h"

#include "net/posix_descriptors.h"

#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// One read's worth: big enough that a flood costs few reads, small enough to keep latency low.
constexpr qint64 ReadSize = 256 << 10;
constexpr int MaxWritePieces = 64;

void setNonBlocking(int descriptor) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK);
}

} // namespace

RelayStream::RelayStream(int descriptor, bool connected, QObject *parent)
    : QObject(parent), m_descriptor(descriptor), m_connected(connected) {
    if (descriptor < 0)
        return;
    setNonBlocking(descriptor);
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_readNotifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    m_writeNotifier = new QSocketNotifier(descriptor, QSocketNotifier::Write, this);
    m_readNotifier->setEnabled(connected);
    m_writeNotifier->setEnabled(!connected);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &RelayStream::onReadable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &RelayStream::onWritable);
    if (connected)
        learnPeer();
}

RelayStream::~RelayStream() {
    close();
}

RelayStream *RelayStream::fromRequest(qintptr requestID, QObject *parent) {
    const int descriptor = duplicateConnection(requestID);
    if (descriptor < 0)
        return nullptr;
    const int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    return new RelayStream(descriptor, true, parent);
}

RelayStream *RelayStream::connectTo(const QHostAddress &address, quint16 port, QObject *parent) {
    sockaddr_storage target{};
    socklen_t length = 0;
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) {
        auto &in = reinterpret_cast<sockaddr_in &>(target);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(ipv4);
        length = sizeof in;
    } else {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(target);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(in6.sin6_addr.s6_addr, bytes.c, sizeof bytes.c);
        in6.sin6_scope_id = QHostAddress(address).scopeId().toUInt();
        length = sizeof in6;
    }
    const int descriptor =
        ::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    auto *stream = new RelayStream(descriptor, false, parent);
    if (descriptor < 0) {
        stream->fail(errno);
        return stream;
    }
    const int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    if (::connect(descriptor, reinterpret_cast<sockaddr *>(&target), length) != 0
        && errno != EINPROGRESS)
        stream->fail(errno);
    return stream;
}

void RelayStream::learnPeer() {
    std::tie(m_peerAddress, m_peerPort) = connectionPeer(m_descriptor);
}

void RelayStream::setReading(bool on) {
    m_reading = on;
    if (m_readNotifier)
        m_readNotifier->setEnabled(on && m_connected && !m_readEnded && !m_failed);
}

void RelayStream::onReadable() {
    QByteArray buffer(ReadSize, Qt::Uninitialized);
    const ssize_t got = ::read(m_descriptor, buffer.data(), std::size_t(buffer.size()));
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            fail(errno);
        return;
    }
    if (got == 0) {
        m_readEnded = true;
        m_readNotifier->setEnabled(false);
        emit readEnded();
        return;
    }
    buffer.truncate(got);
    emit received(buffer);
}

void RelayStream::onWritable() {
    if (!m_connected) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(m_descriptor, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            fail(error);
            return;
        }
        m_connected = true;
        learnPeer();
        m_writeNotifier->setEnabled(m_waiting > 0);
        setReading(m_reading);
        emit connected();
        return;
    }
    const qint64 before = m_waiting;
    if (!flush())
        return;
    if (m_waiting < before)
        emit bytesWritten(before - m_waiting);
}

// False when the stream failed.
bool RelayStream::flush() {
    while (!m_out.empty()) {
        std::array<iovec, MaxWritePieces> pieces{};
        int count = 0;
        for (auto it = m_out.begin(); it != m_out.end() && count < MaxWritePieces; ++it, ++count) {
            const qsizetype skip = count == 0 ? m_outOffset : 0;
            pieces[std::size_t(count)] = {const_cast<char *>(it->constData()) + skip,
                                          std::size_t(it->size() - skip)};
        }
        msghdr message{};
        message.msg_iov = pieces.data();
        message.msg_iovlen = std::size_t(count);
        ssize_t sent = ::sendmsg(m_descriptor, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            fail(errno);
            return false;
        }
        m_waiting -= sent;
        while (sent > 0) {
            const qsizetype left = m_out.front().size() - m_outOffset;
            if (sent < left) {
                m_outOffset += sent;
                break;
            }
            sent -= left;
            m_out.pop_front();
            m_outOffset = 0;
        }
    }
    m_writeNotifier->setEnabled(!m_out.empty());
    if (m_out.empty() && m_closeWriting && !m_writeClosed) {
        m_writeClosed = true;
        ::shutdown(m_descriptor, SHUT_WR);
    }
    return true;
}

void RelayStream::write(const QByteArray &data) {
    if (m_failed || m_closeWriting || data.isEmpty())
        return;
    m_out.push_back(data);
    m_waiting += data.size();
    if (m_connected && m_out.size() == 1)
        flush();
}

void RelayStream::closeWriting() {
    m_closeWriting = true;
    if (m_connected && !m_failed)
        flush();
}

void RelayStream::fail(int error) {
    if (m_failed)
        return;
    m_failed = true;
    if (m_readNotifier) {
        m_readNotifier->setEnabled(false);
        m_writeNotifier->setEnabled(false);
    }
    // Told from the event loop: the caller of write or connectTo is still busy with this stream.
    QTimer::singleShot(0, this, [this, error] { emit failed(winsockErrorForErrno(error)); });
}

void RelayStream::close() {
    m_failed = true;
    if (m_descriptor < 0)
        return;
    // Possibly inside one of the notifiers' own signals: they go once it has returned.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    m_readNotifier = m_writeNotifier = nullptr;
    ::close(m_descriptor);
    m_descriptor = -1;
    m_out.clear();
    m_waiting = 0;
}
