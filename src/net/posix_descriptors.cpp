#include "net/posix_descriptors.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <climits>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// A vanished peer is noticed after idle + count * interval seconds.
constexpr int KeepAliveIdleSeconds = 30;
constexpr int KeepAliveIntervalSeconds = 10;
constexpr int KeepAliveProbes = 3;

class RequestServer final : public QTcpServer {
public:
    explicit RequestServer(std::function<void(qintptr)> announce, QObject *parent)
        : QTcpServer(parent), m_announce(std::move(announce)) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        m_announce(descriptor);
        ::close(int(descriptor));
    }

private:
    std::function<void(qintptr)> m_announce;
};

bool isConnectedStream(int descriptor) {
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return false;
    int listening = 0;
    length = sizeof listening;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0
        || listening != 0)
        return false;
    sockaddr_storage peer{};
    length = sizeof peer;
    return ::getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &length) == 0;
}

} // namespace

QTcpServer *newRequestServer(std::function<void(qintptr)> announce, QObject *parent) {
    return new RequestServer(std::move(announce), parent);
}

int duplicateConnection(qintptr descriptor) {
    if (descriptor < 0 || descriptor > INT_MAX || !isConnectedStream(int(descriptor)))
        return -1;
    return ::fcntl(int(descriptor), F_DUPFD_CLOEXEC, 0);
}

void closeDescriptor(int descriptor) {
    ::close(descriptor);
}

std::pair<QHostAddress, quint16> connectionPeer(qintptr descriptor) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (descriptor < 0 || descriptor > INT_MAX
        || ::getpeername(int(descriptor), reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return {};
    const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    const auto port = peer.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(peer).sin6_port
                                                 : reinterpret_cast<sockaddr_in &>(peer).sin_port;
    return {isIPv4 ? QHostAddress(ipv4) : address, ntohs(port)};
}

quint16 localPortOf(qintptr descriptor) {
    sockaddr_storage own{};
    socklen_t length = sizeof own;
    if (descriptor < 0 || descriptor > INT_MAX
        || ::getsockname(int(descriptor), reinterpret_cast<sockaddr *>(&own), &length) != 0)
        return 0;
    return ntohs(own.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(own).sin6_port
                                           : reinterpret_cast<sockaddr_in &>(own).sin_port);
}

void enableKeepAlive(QTcpSocket *socket) {
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const int descriptor = int(socket->socketDescriptor());
    const int idle = KeepAliveIdleSeconds;
    const int interval = KeepAliveIntervalSeconds;
    const int probes = KeepAliveProbes;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

qint64 unacknowledgedBytes(qintptr descriptor) {
    int bytes = 0;
    return ::ioctl(int(descriptor), SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

void shutdownSending(qintptr descriptor) {
    ::shutdown(int(descriptor), SHUT_WR);
}

int pendingSocketError(int descriptor) {
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) == 0 ? error : 0;
}
