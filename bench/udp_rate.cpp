// UDP: 100-byte datagrams at rising fixed rates into the window's UDP listener with logging on.
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "log_check.h"
#include "payload.h"
#include "peer_socket.h"

#include "model/form.h"
#include "net/socket_array.h"

#include <QElapsedTimer>

#include <atomic>
#include <cstring>
#include <sys/socket.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr std::size_t DatagramBytes = 100;
constexpr auto StepDuration = 1500ms;
constexpr int Rates[] = {5000, 10000, 20000, 40000, 80000};
constexpr int TargetRate = 20000;

struct Burst {
    std::int64_t sent = 0;
    std::int64_t sendErrors = 0;
    double seconds = 0;
};

// Sends datagrams at `rate` per second for StepDuration: sleeps while far from the next slot,
// spins for the last stretch so the spacing stays even.
Burst sendAtRate(std::uint16_t port, int rate) {
    Burst burst;
    const PeerSocket socket = PeerSocket::connectUdp(port);
    if (!socket.valid())
        return burst;
    const Payload payload(0x0dd5eed);
    char datagram[DatagramBytes];
    const auto interval = std::chrono::nanoseconds(1'000'000'000LL / rate);
    const std::int64_t count = rate * StepDuration.count() / 1000;
    const auto start = BenchClock::now();
    for (std::int64_t i = 0; i < count; ++i) {
        const auto due = start + i * interval;
        for (auto now = BenchClock::now(); now < due; now = BenchClock::now()) {
            if (due - now > 300us)
                std::this_thread::sleep_for(due - now - 200us);
        }
        const auto sequence = std::uint32_t(i);
        std::memcpy(datagram, &sequence, sizeof sequence);
        payload.fill(std::uint64_t(i) * DatagramBytes, datagram + sizeof sequence,
                     DatagramBytes - sizeof sequence);
        if (::send(socket.fd(), datagram, sizeof datagram, 0) == ssize_t(sizeof datagram))
            ++burst.sent;
        else
            ++burst.sendErrors;
    }
    burst.seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
    return burst;
}

} // namespace

int runUdpRate(const QStringList &) {
    const Figures figures(QStringLiteral("UDP rate"));
    BenchWindow window;
    if (!window.valid())
        return 2;
    window.enableLog();
    const quint16 port = window.start(false, figures);
    if (port == 0)
        return 2;

    qint64 received = 0;
    qint64 receivedInAll = 0;
    QElapsedTimer sinceArrival;
    QObject context;
    QObject::connect(window.form().listenSock, &SocketArray::DataArrival, &context,
                     [&](int index, qint64) {
                         if (index != 0)
                             return;
                         ++received;
                         ++receivedInAll;
                         sinceArrival.start();
                     });

    int bestLossless = 0;
    for (const int rate : Rates) {
        received = 0;
        sinceArrival.invalidate();
        Burst burst;
        std::atomic<bool> finished{false};
        std::thread peer([&] {
            burst = sendAtRate(port, rate);
            finished = true;
        });
        BenchWindow::runEventsUntil(
            [&] {
                return finished
                       && (received >= burst.sent || !sinceArrival.isValid()
                           || sinceArrival.elapsed() > 500);
            },
            StepDuration + 10s);
        peer.join();
        // Anything still queued in the socket counts as delivered.
        BenchWindow::runEventsUntil([&] { return received >= burst.sent; }, 300ms);

        const double achieved = burst.seconds > 0 ? double(burst.sent) / burst.seconds : 0;
        const qint64 lost = burst.sent - received;
        figures.info(QStringLiteral("%1/s").arg(rate),
                     QStringLiteral("sent %1 in %2 s (%3/s), send errors %4, received %5, lost %6")
                         .arg(burst.sent)
                         .arg(Figures::number(burst.seconds, 2))
                         .arg(Figures::number(achieved, 0))
                         .arg(burst.sendErrors)
                         .arg(received)
                         .arg(lost));
        const bool paced = achieved >= 0.95 * rate;
        if (lost == 0 && burst.sendErrors == 0 && burst.sent > 0 && paced)
            bestLossless = rate;
        else if (!paced)
            figures.info(QStringLiteral("%1/s").arg(rate),
                         QStringLiteral("the sender could not hold this rate"));
        BenchWindow::runEventsFor(300ms);
    }

    figures.target(QStringLiteral("highest rate without loss"),
                   QStringLiteral("%1/s").arg(bestLossless), bestLossless >= TargetRate,
                   QStringLiteral(">= %1/s").arg(TargetRate));

    qint64 wrongSize = 0;
    const LogContents log =
        LogContents::read(window.todaysLogFile(), [&](const char *, std::size_t n) {
            if (n != DatagramBytes)
                ++wrongSize;
        });
    figures.target(QStringLiteral("log entries"),
                   QStringLiteral("%1 of %2 datagrams received, %3 of another size%4")
                       .arg(log.entries)
                       .arg(receivedInAll)
                       .arg(wrongSize)
                       .arg(log.problem.isEmpty() ? QString() : QStringLiteral(", ") + log.problem),
                   log.problem.isEmpty() && log.entries == receivedInAll && wrongSize == 0,
                   QStringLiteral("one entry per datagram received"));
    return 0;
}
