// The relay: bulk data (1 GiB by default; the first argument sets MiB) from a client through
// `sendrel --headless --relay` and through `socat TCP-LISTEN:...,fork TCP:...` to a target that
// reads it all, in interleaved rounds, sendrel with and without its log (in memory); then the
// round trip of small messages through each to an echoing target. Medians of the rounds. Last,
// the link faults measured: a delay over 50 round trips, a drop rate over 4000 datagrams.
#include "benchmarks.h"
#include "figures.h"
#include "relay_process.h"
#include "scratch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
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

constexpr std::uint64_t DefaultMiB = 1024;
constexpr int Rounds = 3;
constexpr int Messages = 2000;
constexpr int MessageSize = 64;

// Round-trip times in ms of small messages through the relay to an echoing target, sorted.
std::vector<double> roundTrips(const QString &kind, const QStringList &extra = {},
                               int messages = Messages) {
    quint16 targetPort = 0;
    const int server = listenOn(targetPort);
    RelayProcess relay(kind, targetPort, {}, extra);
    std::thread target([server] {
        const int peer = ::accept(server, nullptr, nullptr);
        const int on = 1;
        ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(peer, buffer, sizeof buffer)) > 0) {
            if (::write(peer, buffer, std::size_t(got)) != got)
                break;
        }
        ::close(peer);
    });
    const int client = connectTo(relay.port);
    std::vector<double> times;
    char message[MessageSize] = {};
    char echo[MessageSize];
    for (int i = 0; client >= 0 && i < messages; ++i) {
        const std::int64_t start = nanosecondsNow();
        if (::write(client, message, sizeof message) != ssize_t(sizeof message))
            break;
        std::size_t got = 0;
        while (got < sizeof echo) {
            const ssize_t part = ::read(client, echo + got, sizeof echo - got);
            if (part <= 0)
                break;
            got += std::size_t(part);
        }
        times.push_back(double(nanosecondsNow() - start) / 1e6);
    }
    ::shutdown(client, SHUT_WR);
    target.join();
    ::close(client);
    ::close(server);
    std::sort(times.begin(), times.end());
    return times;
}

// The share of datagrams that reached the target through a relay that drops `percent` of them.
double udpDelivered(int percent, int count) {
    const int target = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(target, reinterpret_cast<sockaddr *>(&address), length);
    ::getsockname(target, reinterpret_cast<sockaddr *>(&address), &length);
    const timeval wait{0, 500000};
    ::setsockopt(target, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    RelayProcess relay(QStringLiteral("sendrel"), ntohs(address.sin_port), {},
                       {u"--udp"_s, u"--relay-drop"_s, u"up:%1"_s.arg(percent)});
    QThread::msleep(500); // the relay's port opens
    std::atomic<int> received{0};
    std::thread reader([target, &received] {
        char buffer[64];
        while (::recv(target, buffer, sizeof buffer, 0) >= 0)
            ++received;
    });
    const int client = ::socket(AF_INET, SOCK_DGRAM, 0);
    address.sin_port = htons(relay.port);
    for (int i = 0; i < count; ++i) {
        ::sendto(client, "datagram", 8, 0, reinterpret_cast<sockaddr *>(&address), sizeof address);
        if (i % 20 == 0)
            QThread::usleep(500); // paced, so only the fault loses datagrams
    }
    reader.join();
    ::close(client);
    ::close(target);
    return double(received) / count;
}

} // namespace

int runRelay(const QStringList &arguments) {
    const Figures figures(QStringLiteral("relay"));
    const std::uint64_t mib =
        arguments.value(0).toULongLong() > 0 ? arguments.value(0).toULongLong() : DefaultMiB;
    const std::uint64_t total = mib << 20;
    const ScratchFolder memory(ScratchFolder::Memory);
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty() || !memory.valid()) {
        figures.info(QStringLiteral("setup"), QStringLiteral("needs socat and a scratch folder"));
        return 2;
    }
    figures.info(QStringLiteral("data"),
                 QStringLiteral("%1 MiB per run, %2 interleaved rounds").arg(mib).arg(Rounds));
    std::vector<double> socat;
    std::vector<double> plain;
    std::vector<double> logged;
    for (int round = 0; round < Rounds; ++round) {
        socat.push_back(bulk(QStringLiteral("socat"), total, {}));
        plain.push_back(bulk(QStringLiteral("sendrel"), total, {}));
        const QString log = memory.filePath(QStringLiteral("log%1").arg(round));
        logged.push_back(bulk(QStringLiteral("sendrel"), total, log));
        figures.info(QStringLiteral("round %1").arg(round + 1),
                     QStringLiteral("socat %1, sendrel %2, sendrel with log %3 MiB/s")
                         .arg(Figures::number(socat.back()), Figures::number(plain.back()),
                              Figures::number(logged.back())));
        QFile::remove(log);
        QDir(log).removeRecursively();
    }
    const double base = Figures::median(socat);
    const double plainRatio = base > 0 ? Figures::median(plain) / base : 0;
    const double loggedRatio = base > 0 ? Figures::median(logged) / base : 0;
    figures.target(QStringLiteral("throughput vs socat, log off"), Figures::number(plainRatio, 2),
                   plainRatio >= 1.0, QStringLiteral(">= 1.0"));
    figures.target(QStringLiteral("throughput vs socat, log on"), Figures::number(loggedRatio, 2),
                   loggedRatio >= 0.7, QStringLiteral(">= 0.7"));
    const std::vector<double> socatTimes = roundTrips(QStringLiteral("socat"));
    const std::vector<double> sendrelTimes = roundTrips(QStringLiteral("sendrel"));
    if (socatTimes.empty() || sendrelTimes.empty())
        return 2;
    const double socatP99 = Figures::percentile(socatTimes, 0.99);
    const double sendrelP99 = Figures::percentile(sendrelTimes, 0.99);
    figures.info(QStringLiteral("round trip p50"),
                 QStringLiteral("socat %1 ms, sendrel %2 ms")
                     .arg(Figures::number(Figures::percentile(socatTimes, 0.5), 3),
                          Figures::number(Figures::percentile(sendrelTimes, 0.5), 3)));
    figures.target(QStringLiteral("added round-trip p99 over socat"),
                   Figures::number(sendrelP99 - socatP99, 3) + QStringLiteral(" ms"),
                   sendrelP99 - socatP99 <= 1.0, QStringLiteral("<= 1 ms"));

    // The faults: a delay of 20 ms each way adds 40 ms to a round trip; 10 % of datagrams lost.
    const std::vector<double> delayed =
        roundTrips(QStringLiteral("sendrel"), {u"--relay-delay"_s, u"20"_s}, 50);
    const double delayedMedian = Figures::percentile(delayed, 0.5);
    figures.target(QStringLiteral("round trip with --relay-delay 20"),
                   Figures::number(delayedMedian, 1) + QStringLiteral(" ms"),
                   delayedMedian >= 40 && delayedMedian <= 45, QStringLiteral("40-45 ms"));
    const double lost = 100.0 * (1.0 - udpDelivered(10, 4000));
    figures.target(QStringLiteral("datagrams lost with --relay-drop up:10"),
                   Figures::number(lost, 1) + QStringLiteral(" %"), lost >= 8.0 && lost <= 12.0,
                   QStringLiteral("8-12 %"));
    return 0;
}
