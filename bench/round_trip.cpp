// Auto-respond round trip: request and answer, one at a time, on one TCP connection.
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "peer_socket.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int WarmUpExchanges = 100;
constexpr int MeasuredExchanges = 2000;
constexpr auto TimeLimit = 120s;
constexpr char Request[] = "ping";
constexpr char Answer[] = "pong\r\n";

// Sends the request and waits for the whole answer; false on a wrong answer, close or timeout.
bool exchange(const PeerSocket &socket) {
    if (!socket.sendAll(Request, std::strlen(Request)))
        return false;
    char buffer[64];
    std::size_t have = 0;
    const std::size_t want = std::strlen(Answer);
    while (have < want) {
        const long got = socket.receive(buffer + have, sizeof buffer - have);
        if (got <= 0)
            return false;
        have += std::size_t(got);
    }
    return have == want && std::memcmp(buffer, Answer, want) == 0;
}

} // namespace

int runRoundTrip(const QStringList &) {
    const Figures figures(QStringLiteral("Auto-respond round trip"));
    BenchWindow window;
    const quint16 port = window.startPingResponder(figures);
    if (port == 0)
        return 2;

    std::vector<double> microseconds;
    microseconds.reserve(MeasuredExchanges);
    int failedAt = -1;
    std::atomic<bool> finished{false};
    std::thread peer([&] {
        const PeerSocket socket = PeerSocket::connectTcp(port, true);
        socket.setReceiveTimeout(2s);
        const auto deadline = BenchClock::now() + TimeLimit;
        for (int i = 0; i < WarmUpExchanges + MeasuredExchanges; ++i) {
            const auto start = BenchClock::now();
            if (!socket.valid() || start > deadline || !exchange(socket)) {
                failedAt = i;
                break;
            }
            if (i >= WarmUpExchanges)
                microseconds.push_back(
                    std::chrono::duration<double, std::micro>(BenchClock::now() - start).count());
        }
        finished = true;
    });
    BenchWindow::runEventsUntil([&] { return bool(finished); }, TimeLimit + 10s);
    peer.join();

    if (failedAt >= 0)
        figures.info(QStringLiteral("failure"),
                     QStringLiteral("exchange %1 got no proper answer").arg(failedAt));
    if (microseconds.empty()) {
        figures.target(QStringLiteral("99th percentile"), QStringLiteral("none measured"), false,
                       QStringLiteral("<= 1000 us"));
        return 0;
    }
    std::sort(microseconds.begin(), microseconds.end());
    const double mean = std::accumulate(microseconds.begin(), microseconds.end(), 0.0)
                        / double(microseconds.size());
    figures.info(QStringLiteral("exchanges"), QStringLiteral("%1 measured after %2 warm-up")
                                                  .arg(microseconds.size())
                                                  .arg(WarmUpExchanges));
    figures.info(QStringLiteral("min / mean / max"),
                 QStringLiteral("%1 / %2 / %3 us")
                     .arg(Figures::number(microseconds.front()))
                     .arg(Figures::number(mean))
                     .arg(Figures::number(microseconds.back())));
    figures.info(QStringLiteral("median"),
                 Figures::number(Figures::percentile(microseconds, 0.5)) + QStringLiteral(" us"));
    const double p99 = Figures::percentile(microseconds, 0.99);
    figures.target(QStringLiteral("99th percentile"), Figures::number(p99) + QStringLiteral(" us"),
                   p99 <= 1000 && int(microseconds.size()) == MeasuredExchanges,
                   QStringLiteral("<= 1000 us over %1 exchanges").arg(MeasuredExchanges));
    return 0;
}
