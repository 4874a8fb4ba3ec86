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
#include "udp_sender.h"

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

// A step into the plain receiver: sends, then waits until nothing more arrives.
std::int64_t plainStep(PlainUdpReceiver &receiver, int rate, Burst &burst) {
    const std::int64_t before = receiver.received();
    burst = sendAtRate(receiver.port(), rate, DatagramBytes, StepDuration);
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
    for (const int rate : UdpRates) {
        if (windowKnee.firstLoss == 0) {
            received = 0;
            sinceArrival.invalidate();
            Burst burst;
            std::atomic<bool> finished{false};
            std::thread peer([&] {
                burst = sendAtRate(port, rate, DatagramBytes, StepDuration);
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
                !reportStep(figures, QStringLiteral("window"), rate, burst, received, windowKnee);
            if (senderLimited)
                break;
            BenchWindow::runEventsFor(300ms);
        }
        if (plainKnee.firstLoss == 0) {
            Burst burst;
            const std::int64_t got = plainStep(plain, rate, burst);
            senderLimited =
                !reportStep(figures, QStringLiteral("recvmmsg"), rate, burst, got, plainKnee);
            if (senderLimited)
                break;
        }
        if (windowKnee.firstLoss != 0 && plainKnee.firstLoss != 0)
            break;
    }

    figures.info(QStringLiteral("knee of the window"), windowKnee.text(senderLimited));
    figures.info(QStringLiteral("knee of a plain recvmmsg receiver"),
                 plainKnee.text(senderLimited));
    // The plain receiver is the machine's own limit (or the sender's, when it took all).
    figures.target(
        QStringLiteral("highest rate without loss"),
        QStringLiteral("%1/s, %2 of the plain receiver's %3/s")
            .arg(windowKnee.lossless)
            .arg(Figures::number(
                plainKnee.lossless > 0 ? double(windowKnee.lossless) / plainKnee.lossless : 0, 2))
            .arg(plainKnee.lossless),
        plainKnee.lossless > 0 && 2 * windowKnee.lossless >= plainKnee.lossless,
        QStringLiteral(">= 0.5 x the plain receiver's"));

    logEntriesTarget(figures, QStringLiteral("log entries"), window.todaysLogFile(), DatagramBytes,
                     receivedInAll, QStringLiteral("received"));
    return 0;
}
