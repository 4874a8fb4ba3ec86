// Soak: many connect, request, answer, disconnect cycles; descriptors and memory must not grow.
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "peer_socket.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr int DefaultCycles = 10000;
constexpr int WarmUpCycles = 200;
constexpr int ProgressEvery = 1000;
constexpr int AttemptsPerCycle = 100;
constexpr auto RetryPause = 10ms;
// Long enough for the status monitor to reopen the listener after the last peer left.
constexpr auto SettlePause = 300ms;
constexpr double AllowedGrowthMiB = 1.0;
constexpr char Request[] = "ping";
constexpr char Answer[] = "pong\r\n";

enum class Outcome { Answered, Refused, ClosedUnanswered, NoAnswer };

Outcome oneAttempt(std::uint16_t port) {
    const PeerSocket socket = PeerSocket::connectTcp(port, true);
    if (!socket.valid())
        return Outcome::Refused;
    socket.setReceiveTimeout(2s);
    if (!socket.sendAll(Request, std::strlen(Request)))
        return Outcome::ClosedUnanswered;
    char buffer[64];
    std::size_t have = 0;
    const std::size_t want = std::strlen(Answer);
    while (have < want) {
        const long got = socket.receive(buffer + have, sizeof buffer - have);
        if (got == 0)
            return have == 0 ? Outcome::ClosedUnanswered : Outcome::NoAnswer;
        if (got < 0) // a peer closed with our request unread is reset, not closed
            return have == 0 && errno == ECONNRESET ? Outcome::ClosedUnanswered : Outcome::NoAnswer;
        have += std::size_t(got);
    }
    return have == want && std::memcmp(buffer, Answer, want) == 0 ? Outcome::Answered
                                                                  : Outcome::NoAnswer;
}

struct Snapshot {
    int descriptors = 0;
    double residentMiB = 0;

    static Snapshot take() {
        return {ProcessFigures::openFileDescriptors(), ProcessFigures::residentMemoryMiB()};
    }
};

} // namespace

int runSoak(const QStringList &arguments) {
    int cycles = arguments.value(0).toInt();
    if (cycles <= 0)
        cycles = qEnvironmentVariableIntValue("SENDREL_SOAK_CYCLES");
    if (cycles <= 0)
        cycles = DefaultCycles;
    const int warmUp = std::min(WarmUpCycles, cycles / 2);
    const auto timeLimit = 60s + cycles * 300ms;

    const Figures figures(QStringLiteral("Soak"));
    figures.info(QStringLiteral("cycles"),
                 QStringLiteral("%1 after %2 warm-up").arg(cycles - warmUp).arg(warmUp));
    BenchWindow window;
    if (!window.valid())
        return 2;
    window.autoRespond(QStringLiteral("ping"), QStringLiteral("pong"));
    const quint16 port = window.start(true);
    if (port == 0) {
        figures.info(QStringLiteral("window"), QStringLiteral("the TCP listener did not open"));
        return 2;
    }

    int completed = 0;
    long closedUnanswered = 0;
    long refused = 0;
    long noAnswer = 0;
    Snapshot atStart;
    Snapshot atEnd;
    double measuredSeconds = 0;
    std::atomic<bool> finished{false};

    std::thread peer([&] {
        const auto deadline = BenchClock::now() + timeLimit;
        auto measuredFrom = BenchClock::now();
        for (int cycle = 0; cycle < cycles && BenchClock::now() < deadline; ++cycle) {
            int attempt = 0;
            Outcome outcome = Outcome::NoAnswer;
            for (; attempt < AttemptsPerCycle && BenchClock::now() < deadline; ++attempt) {
                outcome = oneAttempt(port);
                if (outcome == Outcome::Answered)
                    break;
                (outcome == Outcome::Refused            ? refused
                 : outcome == Outcome::ClosedUnanswered ? closedUnanswered
                                                        : noAnswer)++;
                std::this_thread::sleep_for(RetryPause);
            }
            if (outcome != Outcome::Answered)
                break;
            ++completed;
            if (completed == warmUp) {
                std::this_thread::sleep_for(SettlePause);
                atStart = Snapshot::take();
                measuredFrom = BenchClock::now();
            }
            if (completed % ProgressEvery == 0) {
                const Snapshot now = Snapshot::take();
                std::printf(
                    "  cycle %d/%d: %.1f s, retries %ld, fds %d, VmRSS %.1f MiB\n", completed,
                    cycles, std::chrono::duration<double>(BenchClock::now() - measuredFrom).count(),
                    refused + closedUnanswered + noAnswer, now.descriptors, now.residentMiB);
                std::fflush(stdout);
            }
        }
        measuredSeconds = std::chrono::duration<double>(BenchClock::now() - measuredFrom).count();
        std::this_thread::sleep_for(SettlePause);
        atEnd = Snapshot::take();
        finished = true;
    });
    BenchWindow::runEventsUntil([&] { return bool(finished); }, timeLimit + 10s);
    peer.join();

    const int measured = std::max(0, completed - warmUp);
    figures.info(QStringLiteral("rate"),
                 QStringLiteral("%1 cycles/s (%2 cycles in %3 s)")
                     .arg(Figures::number(measuredSeconds > 0 ? measured / measuredSeconds : 0))
                     .arg(measured)
                     .arg(Figures::number(measuredSeconds)));
    figures.info(QStringLiteral("retries"),
                 QStringLiteral("%1 closed or reset without an answer (listener not yet reopened), "
                                "%2 refused, %3 without a proper answer")
                     .arg(closedUnanswered)
                     .arg(refused)
                     .arg(noAnswer));
    figures.target(QStringLiteral("cycles completed"), QString::number(completed),
                   completed == cycles, QString::number(cycles));
    figures.target(QStringLiteral("open descriptors"),
                   QStringLiteral("%1 after warm-up, %2 at the end")
                       .arg(atStart.descriptors)
                       .arg(atEnd.descriptors),
                   atEnd.descriptors <= atStart.descriptors, QStringLiteral("no growth"));
    figures.target(QStringLiteral("VmRSS"),
                   QStringLiteral("%1 MiB after warm-up, %2 MiB at the end")
                       .arg(Figures::number(atStart.residentMiB))
                       .arg(Figures::number(atEnd.residentMiB)),
                   atEnd.residentMiB - atStart.residentMiB <= AllowedGrowthMiB,
                   QStringLiteral("growth <= %1 MiB").arg(AllowedGrowthMiB));
    return 0;
}
