// UDP: 100-byte datagrams at rising fixed rates into the window's UDP listener with logging on
// (its log in memory), and into a plain recvmmsg receiver at the same rates in the same run,
// each until it loses datagrams; the knee is the highest rate before the first loss.
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "log_check.h"
#include "payload.h"
#include "peer_socket.h"
#include "udp_receiver.h"

#include "model/form.h"
#include "net/socket_array.h"

#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr std::size_t DatagramBytes = 100;
constexpr auto StepDuration = 1500ms;
constexpr int Rates[] = {5000,   10000,  20000,  40000,  60000,  80000,  120000,
                         160000, 240000, 320000, 480000, 640000, 960000, 1280000};
constexpr int TargetRate = 20000;
// Above this rate datagrams go in batches of one sendmmsg, one batch per this many nanoseconds.
constexpr int BatchRate = 20000;
constexpr int LargestBatch = 64;

struct Burst {
    std::int64_t sent = 0;
    std::int64_t sendErrors = 0;
    double seconds = 0;
};

// Sends datagrams at `rate` per second for StepDuration, each starting with its sequence
// number: sleeps while far from the next slot, spins for the last stretch so the spacing stays
// even. Above BatchRate a slot sends a batch, so the sender keeps up.
Burst sendAtRate(std::uint16_t port, int rate) {
    Burst burst;
    const PeerSocket socket = PeerSocket::connectUdp(port);
    if (!socket.valid())
        return burst;
    const auto batch = std::size_t(std::clamp(rate / BatchRate, 1, LargestBatch));
    std::vector<char> datagrams(batch * DatagramBytes);
    std::vector<iovec> pieces(batch);
    std::vector<mmsghdr> messages(batch);
    for (std::size_t k = 0; k < batch; ++k) {
        char *datagram = datagrams.data() + k * DatagramBytes;
        Payload(0x0dd5eed).fill(0, datagram, DatagramBytes);
        pieces[k] = {datagram, DatagramBytes};
        messages[k].msg_hdr.msg_iov = &pieces[k];
        messages[k].msg_hdr.msg_iovlen = 1;
    }
    const auto step = std::int64_t(batch);
    const auto interval = std::chrono::nanoseconds(1'000'000'000LL * step / rate);
    const std::int64_t count = rate * StepDuration.count() / 1000;
    const auto start = BenchClock::now();
    for (std::int64_t i = 0; i < count; i += step) {
        const auto due = start + (i / step) * interval;
        for (auto now = BenchClock::now(); now < due; now = BenchClock::now()) {
            if (due - now > 300us)
                std::this_thread::sleep_for(due - now - 200us);
        }
        const int n = int(std::min(step, count - i));
        for (int k = 0; k < n; ++k) {
            const auto sequence = std::uint32_t(i + k);
            std::memcpy(datagrams.data() + std::size_t(k) * DatagramBytes, &sequence,
                        sizeof sequence);
        }
        const int sent = ::sendmmsg(socket.fd(), messages.data(), unsigned(n), 0);
        burst.sent += std::max(sent, 0);
        burst.sendErrors += n - std::max(sent, 0);
    }
    burst.seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
    return burst;
}

// Where a receiver's loss begins: the highest rate it took whole, and the first it did not.
struct Knee {
    int lossless = 0;
    int firstLoss = 0;

    QString text(bool senderLimited) const {
        if (firstLoss)
            return QStringLiteral("lossless up to %1/s, loss from %2/s")
                .arg(lossless)
                .arg(firstLoss);
        return QStringLiteral("lossless up to %1/s, no loss %2")
            .arg(lossless)
            .arg(senderLimited ? QStringLiteral("below the sender's limit")
                               : QStringLiteral("at the rates tried"));
    }
};

// One step's figures; false when the sender fell short of the rate.
bool report(const Figures &figures, const QString &receiver, int rate, const Burst &burst,
            std::int64_t received, Knee &knee) {
    const double achieved = burst.seconds > 0 ? double(burst.sent) / burst.seconds : 0;
    const std::int64_t lost = burst.sent - received;
    const bool paced = achieved >= 0.95 * rate;
    figures.info(
        QStringLiteral("%1/s %2").arg(rate).arg(receiver),
        QStringLiteral("sent %1 in %2 s (%3/s), send errors %4, received %5, lost %6%7")
            .arg(burst.sent)
            .arg(Figures::number(burst.seconds, 2))
            .arg(Figures::number(achieved, 0))
            .arg(burst.sendErrors)
            .arg(received)
            .arg(lost)
            .arg(paced ? QString() : QStringLiteral(", the sender could not hold the rate")));
    if (!paced)
        return false;
    if (lost == 0 && burst.sendErrors == 0 && burst.sent > 0)
        knee.lossless = rate;
    else
        knee.firstLoss = rate;
    return true;
}

// A step into the plain receiver: sends, then waits until nothing more arrives.
std::int64_t plainStep(PlainUdpReceiver &receiver, int rate, Burst &burst) {
    const std::int64_t before = receiver.received();
    burst = sendAtRate(receiver.port(), rate);
    for (std::int64_t last = -1; receiver.received() != last;) {
        last = receiver.received();
        std::this_thread::sleep_for(300ms);
    }
    return receiver.received() - before;
}

} // namespace

int runUdpRate(const QStringList &) {
    const Figures figures(QStringLiteral("UDP rate"));
    BenchWindow window;
    PlainUdpReceiver plain;
    if (!window.valid() || !plain.valid())
        return 2;
    figures.info(QStringLiteral("files"), window.where());
    window.enableLog();
    const quint16 port = window.start(false, figures);
    if (port == 0)
        return 2;

    qint64 received = 0;
    qint64 receivedInAll = 0;
    QElapsedTimer sinceArrival;
    QObject context;
    QObject::connect(window.program().sockets().listenSock, &SocketArray::DataArrival, &context,
                     [&](int index, qint64) {
                         if (index != 0)
                             return;
                         ++received;
                         ++receivedInAll;
                         sinceArrival.start();
                     });

    Knee windowKnee;
    Knee plainKnee;
    bool senderLimited = false;
    for (const int rate : Rates) {
        if (windowKnee.firstLoss == 0) {
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
            senderLimited =
                !report(figures, QStringLiteral("window"), rate, burst, received, windowKnee);
            if (senderLimited)
                break;
            BenchWindow::runEventsFor(300ms);
        }
        if (plainKnee.firstLoss == 0) {
            Burst burst;
            const std::int64_t got = plainStep(plain, rate, burst);
            senderLimited =
                !report(figures, QStringLiteral("recvmmsg"), rate, burst, got, plainKnee);
            if (senderLimited)
                break;
        }
        if (windowKnee.firstLoss != 0 && plainKnee.firstLoss != 0)
            break;
    }

    figures.info(QStringLiteral("knee of the window"), windowKnee.text(senderLimited));
    figures.info(QStringLiteral("knee of a plain recvmmsg receiver"),
                 plainKnee.text(senderLimited));
    figures.target(QStringLiteral("highest rate without loss"),
                   QStringLiteral("%1/s").arg(windowKnee.lossless),
                   windowKnee.lossless >= TargetRate, QStringLiteral(">= %1/s").arg(TargetRate));

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
