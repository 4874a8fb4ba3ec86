#include "relay_process.h"

#include "benchmarks.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr double MiB = 1024.0 * 1024.0;

} // namespace

int listenOn(quint16 &port) {
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(server, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::listen(server, 16) != 0) {
        ::close(server);
        return -1;
    }
    ::getsockname(server, reinterpret_cast<sockaddr *>(&address), &length);
    port = ntohs(address.sin_port);
    return server;
}

int connectTo(quint16 port) {
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            const int on = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return client;
        }
        QThread::msleep(20);
    }
    ::close(client);
    return -1;
}

quint16 freePort() {
    quint16 port = 0;
    const int probe = listenOn(port);
    ::close(probe);
    return port;
}

// MiB/s of `total` bytes from a client through the relay to a target that reads them all.
double bulk(const QString &kind, std::uint64_t total, const QString &logFolder,
            const QStringList &extra) {
    quint16 targetPort = 0;
    const int server = listenOn(targetPort);
    RelayProcess relay(kind, targetPort, logFolder, extra);
    std::atomic<std::uint64_t> received{0};
    std::thread target([server, &received] {
        const int peer = ::accept(server, nullptr, nullptr);
        std::vector<char> buffer(1 << 20);
        ssize_t got = 0;
        while ((got = ::read(peer, buffer.data(), buffer.size())) > 0)
            received += std::uint64_t(got);
        ::close(peer);
    });
    const int client = connectTo(relay.port);
    std::vector<char> block(1 << 20, 'x');
    const std::int64_t start = nanosecondsNow();
    std::uint64_t sent = 0;
    while (client >= 0 && sent < total) {
        const ssize_t wrote =
            ::write(client, block.data(), std::min<std::uint64_t>(block.size(), total - sent));
        if (wrote <= 0)
            break;
        sent += std::uint64_t(wrote);
    }
    ::shutdown(client, SHUT_WR);
    target.join();
    const double seconds = double(nanosecondsNow() - start) / 1e9;
    ::close(client);
    ::close(server);
    return received == total ? double(total) / MiB / seconds : 0;
}

RelayProcess::RelayProcess(const QString &kind, quint16 target, const QString &logFolder,
                           const QStringList &extra) {
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const QString to = QStringLiteral("127.0.0.1:%1").arg(target);
    if (kind == u"socat") {
        process.start(QStringLiteral("socat"),
                      {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(port),
                       QStringLiteral("TCP:") + to});
    } else {
        QStringList arguments{QStringLiteral("--headless"), QStringLiteral("--quiet"),
                              QStringLiteral("--port"),     QString::number(port),
                              QStringLiteral("--relay"),    to};
        arguments << (extra.contains(u"--udp"_s) ? extra : extra + QStringList{u"--tcp"_s});
        if (!logFolder.isEmpty())
            arguments << QStringLiteral("--log") << logFolder;
        process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/sendrel"),
                      arguments);
    }
    process.waitForStarted();
}

RelayProcess::~RelayProcess() {
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
    process.waitForFinished();
}
