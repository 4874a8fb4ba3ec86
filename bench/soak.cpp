// Soak: many connect, request, answer, disconnect cycles; descriptors and memory must not grow.
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "peer_socket.h"

#include "model/form.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <malloc.h>
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
    qsizetype boxCharacters = 0;
    double clearedMiB = 0; // after "Clear Data" and handing free heap back to the system
};

// Taken on the window's thread once the last peer has gone: the received-data box grows by
// design up to its bound, so memory is also compared with the box emptied.
Snapshot takeSnapshot(BenchWindow &window) {
    BenchWindow::runEventsFor(SettlePause);
    Snapshot snapshot;
    snapshot.descriptors = ProcessFigures::openFileDescriptors();
    snapshot.residentMiB = ProcessFigures::residentMemoryMiB();
    snapshot.boxCharacters = window.form().txtNetData.text().size();
    window.form().Command1.Click();
    BenchWindow::runEventsFor(100ms);
    malloc_trim(0);
    snapshot.clearedMiB = ProcessFigures::residentMemoryMiB();
    return snapshot;
}

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
    const quint16 port = window.startPingResponder(figures);
    if (port == 0)
        return 2;

    int completed = 0;
    long closedUnanswered = 0;
    long refused = 0;
    long noAnswer = 0;
    Snapshot atStart;
    Snapshot atEnd;
    double measuredSeconds = 0;
    std::atomic<bool> finished{false};
    std::atomic<Snapshot *> snapshotWanted{nullptr};
    // The peer pauses while the window's thread takes the snapshot.
    const auto snapshotInto = [&](Snapshot &snapshot) {
        snapshotWanted = &snapshot;
        const auto until = BenchClock::now() + 30s;
        while (snapshotWanted && BenchClock::now() < until)
            std::this_thread::sleep_for(5ms);
    };

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
                snapshotInto(atStart);
                measuredFrom = BenchClock::now();
            }
            if (completed % ProgressEvery == 0) {
                std::printf(
                    "  cycle %d/%d: %.1f s, retries %ld, fds %d, VmRSS %.1f MiB\n", completed,
                    cycles, std::chrono::duration<double>(BenchClock::now() - measuredFrom).count(),
                    refused + closedUnanswered + noAnswer, ProcessFigures::openFileDescriptors(),
                    ProcessFigures::residentMemoryMiB());
                std::fflush(stdout);
            }
        }
        measuredSeconds = std::chrono::duration<double>(BenchClock::now() - measuredFrom).count();
        snapshotInto(atEnd);
        finished = true;
    });
    const auto until = BenchClock::now() + timeLimit + 10s;
    while (!finished && BenchClock::now() < until) {
        BenchWindow::runEventsUntil(
            [&] { return finished || snapshotWanted; },
            std::chrono::duration_cast<std::chrono::milliseconds>(until - BenchClock::now()));
        if (Snapshot *wanted = snapshotWanted) {
            *wanted = takeSnapshot(window);
            snapshotWanted = nullptr;
        }
    }
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
    figures.info(QStringLiteral("VmRSS as it is"),
                 QStringLiteral("%1 MiB after warm-up (box %2 characters), %3 MiB at the end "
                                "(box %4 characters)")
                     .arg(Figures::number(atStart.residentMiB))
                     .arg(atStart.boxCharacters)
                     .arg(Figures::number(atEnd.residentMiB))
                     .arg(atEnd.boxCharacters));
    figures.target(QStringLiteral("VmRSS with the box cleared"),
                   QStringLiteral("%1 MiB after warm-up, %2 MiB at the end")
                       .arg(Figures::number(atStart.clearedMiB))
                       .arg(Figures::number(atEnd.clearedMiB)),
                   atEnd.clearedMiB - atStart.clearedMiB <= AllowedGrowthMiB,
                   QStringLiteral("growth <= %1 MiB").arg(AllowedGrowthMiB));
    return 0;
}
