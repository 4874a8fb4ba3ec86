#include "udp_sender.h"

#include "benchmarks.h"
#include "log_check.h"
#include "payload.h"
#include "peer_socket.h"

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Above this rate datagrams go in batches, one batch per slot.
constexpr int BatchRate = 20000;
constexpr int LargestBatch = 64;

} // namespace

Burst sendAtRate(std::uint16_t port, int rate, std::size_t size,
                 std::chrono::milliseconds duration) {
    Burst burst;
    const PeerSocket socket = PeerSocket::connectUdp(port);
    if (!socket.valid() || size < sizeof(std::uint32_t))
        return burst;
    const auto batch = std::size_t(std::clamp(rate / BatchRate, 1, LargestBatch));
    std::vector<char> datagrams(batch * size);
    std::vector<iovec> pieces(batch);
    std::vector<mmsghdr> messages(batch);
    for (std::size_t k = 0; k < batch; ++k) {
        char *datagram = datagrams.data() + k * size;
        Payload(0x0dd5eed).fill(0, datagram, size);
        pieces[k] = {datagram, size};
        messages[k].msg_hdr.msg_iov = &pieces[k];
        messages[k].msg_hdr.msg_iovlen = 1;
    }
    const auto step = std::int64_t(batch);
    const auto interval = std::chrono::nanoseconds(1'000'000'000LL * step / rate);
    const std::int64_t count = rate * duration.count() / 1000;
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
            std::memcpy(datagrams.data() + std::size_t(k) * size, &sequence, sizeof sequence);
        }
        const int sent = ::sendmmsg(socket.fd(), messages.data(), unsigned(n), 0);
        burst.sent += std::max(sent, 0);
        burst.sendErrors += n - std::max(sent, 0);
    }
    burst.seconds = std::chrono::duration<double>(BenchClock::now() - start).count();
    return burst;
}

QString Knee::text(bool senderLimited) const {
    if (firstLoss)
        return QStringLiteral("lossless up to %1/s, loss from %2/s").arg(lossless).arg(firstLoss);
    return QStringLiteral("lossless up to %1/s, no loss %2")
        .arg(lossless)
        .arg(senderLimited ? QStringLiteral("below the sender's limit")
                           : QStringLiteral("at the rates tried"));
}

bool reportStep(const Figures &figures, const QString &receiver, int rate, const Burst &burst,
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

void logEntriesTarget(const Figures &figures, const QString &name, const QString &logFile,
                      std::size_t size, std::int64_t datagrams, const QString &counted) {
    qint64 wrongSize = 0;
    const LogContents log =
        LogContents::read(logFile, [&](const char *, std::size_t n) { wrongSize += n != size; });
    figures.target(name,
                   QStringLiteral("%1 of %2 datagrams %3, %4 of another size%5")
                       .arg(log.entries)
                       .arg(datagrams)
                       .arg(counted)
                       .arg(wrongSize)
                       .arg(log.problem.isEmpty() ? QString() : QStringLiteral(", ") + log.problem),
                   log.problem.isEmpty() && log.entries == datagrams && wrongSize == 0,
                   QStringLiteral("one whole entry per datagram %1").arg(counted));
}
