#include "window_flood.h"

#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "log_check.h"
#include "payload.h"
#include "peer_socket.h"

#include "model/form.h"
#include "net/socket_array.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t Seed = 0x5e9d7e1a2b3c4d5eULL;
constexpr std::size_t SendBlock = 64 * 1024;
constexpr auto FloodTimeLimit = 300s;
constexpr double MiB = 1024.0 * 1024.0;

// Sends `total` payload bytes; `firstByteNs` is stamped just before the first send.
bool sendPayload(const PeerSocket &socket, std::uint64_t total, const WindowFlood::Stream &stream,
                 std::atomic<std::int64_t> &firstByteNs) {
    const Payload payload(Seed, stream.lineBreaks);
    std::vector<char> block(SendBlock);
    firstByteNs = nanosecondsNow();
    for (std::uint64_t offset = 0; offset < total; offset += SendBlock) {
        const std::size_t count = std::size_t(std::min<std::uint64_t>(SendBlock, total - offset));
        payload.fill(offset, block.data(), count);
        if (!socket.sendAll(block.data(), count))
            return false;
        if (stream.mibPerSecond > 0) {
            const auto due = std::int64_t(double(offset + count) / MiB / stream.mibPerSecond * 1e9);
            while (nanosecondsNow() - firstByteNs < due)
                std::this_thread::sleep_for(1ms);
        }
    }
    return true;
}

double mibPerSecond(std::uint64_t bytes, std::int64_t nanoseconds) {
    return nanoseconds > 0 ? double(bytes) / MiB / (double(nanoseconds) / 1e9) : 0;
}

std::uint64_t sentHash(std::uint64_t total, const WindowFlood::Stream &stream) {
    const Payload payload(Seed, stream.lineBreaks);
    StreamHash hash;
    std::vector<char> block(SendBlock);
    for (std::uint64_t offset = 0; offset < total; offset += SendBlock) {
        const std::size_t count = std::size_t(std::min<std::uint64_t>(SendBlock, total - offset));
        payload.fill(offset, block.data(), count);
        hash.add(block.data(), count);
    }
    return hash.value();
}

qint64 fileSize(const QByteArray &path) {
    struct stat status {};
    return ::stat(path.constData(), &status) == 0 ? qint64(status.st_size) : 0;
}

void reportNetcat(const Figures &figures, const std::vector<WindowFlood::Round> &rounds,
                  double windowRate) {
    std::vector<double> netcat;
    for (const WindowFlood::Round &round : rounds)
        if (round.netcat > 0)
            netcat.push_back(round.netcat);
    if (netcat.empty())
        return;
    const double median = Figures::median(netcat);
    figures.info(QStringLiteral("median nc -l > file (same size)"),
                 QStringLiteral("%1 MiB/s, window / nc %2")
                     .arg(Figures::number(median), Figures::number(windowRate / median, 2)));
}

// The first flood meets a view nobody has shown data in yet.
void reportFirstRound(const Figures &figures, const std::vector<double> &windows, bool target) {
    if (windows.size() < 2)
        return;
    const double later = Figures::median(std::vector<double>(windows.begin() + 1, windows.end()));
    const double share = later > 0 ? windows.front() / later : 0;
    const QString value = QStringLiteral("%1 of the later rounds' median (%2 against %3 MiB/s)")
                              .arg(Figures::number(share, 2), Figures::number(windows.front()),
                                   Figures::number(later));
    if (target)
        figures.target(QStringLiteral("first round"), value, share >= 0.8,
                       QStringLiteral("within 20 % of the later ones"));
    else
        figures.info(QStringLiteral("first round"), value);
}

} // namespace

namespace WindowFlood {

double baselineThroughput(std::uint64_t total, const Stream &stream, const QString &fileName,
                          const Figures &figures, double &cpuSeconds) {
    std::uint16_t port = 0;
    const PeerSocket listener = PeerSocket::listenTcp(port);
    if (!listener.valid()) {
        figures.info(QStringLiteral("baseline"), QStringLiteral("cannot listen"));
        return 0;
    }
    listener.setReceiveTimeout(10s);
    std::atomic<std::int64_t> firstByteNs{0};
    std::int64_t lastByteNs = 0;
    std::uint64_t received = 0;
    const QByteArray path = QFile::encodeName(fileName);

    std::thread receiver([&] {
        const double cpuBefore =
            ProcessFigures::threadUserSeconds() + ProcessFigures::threadSystemSeconds();
        const PeerSocket connection = listener.accept();
        const int file = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (!connection.valid() || file < 0)
            return;
        connection.setReceiveTimeout(10s);
        std::vector<char> buffer(256 * 1024);
        while (received < total) {
            const long got = connection.receive(buffer.data(), buffer.size());
            if (got <= 0 || ::write(file, buffer.data(), std::size_t(got)) != got)
                break;
            received += std::uint64_t(got);
        }
        ::close(file);
        lastByteNs = nanosecondsNow();
        cpuSeconds =
            ProcessFigures::threadUserSeconds() + ProcessFigures::threadSystemSeconds() - cpuBefore;
    });
    std::thread sender([&] {
        const PeerSocket socket = PeerSocket::connectTcp(port, false);
        if (socket.valid())
            sendPayload(socket, total, stream, firstByteNs);
    });
    sender.join();
    receiver.join();
    QFile::remove(fileName);
    if (received != total) {
        figures.info(QStringLiteral("baseline"),
                     QStringLiteral("received only %1 of %2 bytes").arg(received).arg(total));
        return 0;
    }
    return mibPerSecond(total, lastByteNs - firstByteNs);
}

Result run(BenchWindow &window, quint16 port, std::uint64_t total, const Stream &stream) {
    const QByteArray logPath = QFile::encodeName(window.todaysLogFile());
    Form &c = window.form();

    std::atomic<std::int64_t> firstByteNs{0};
    std::atomic<bool> sendFailed{false};
    std::atomic<bool> mayClose{false};
    std::int64_t doneNs = 0;
    std::uint64_t arrived = 0;
    Result result;

    QObject context;
    QElapsedTimer sinceTick;
    QObject::connect(&window.program().tmrMain(), &QTimer::timeout, &context, [&] {
        if (sinceTick.isValid() && firstByteNs != 0 && doneNs == 0)
            result.longestTickGap = std::max(result.longestTickGap, sinceTick.elapsed());
        sinceTick.start();
    });
    // Connected after the window's own handler, so each entry is written when this runs.
    QObject::connect(window.program().sockets().listenSock, &SocketArray::DataArrival, &context,
                     [&](int, qint64 bytesTotal) {
                         ++result.entries;
                         arrived += std::uint64_t(bytesTotal);
                         // Only a complete log can be this long (each entry adds its frame to the
                         // data); looked at once everything has arrived, so the window does not pay
                         // for the look.
                         if (doneNs == 0 && arrived >= total
                             && fileSize(logPath)
                                    >= qint64(total) + result.entries * LogContents::FrameBytes)
                             doneNs = nanosecondsNow();
                     });

    const double userBefore = ProcessFigures::threadUserSeconds();
    const double systemBefore = ProcessFigures::threadSystemSeconds();
    std::thread peer([&] {
        const PeerSocket socket = PeerSocket::connectTcp(port, false);
        if (!socket.valid() || !sendPayload(socket, total, stream, firstByteNs)) {
            sendFailed = true;
            return;
        }
        // Stay connected until the log is complete: the window must not see the close first.
        const auto deadline = BenchClock::now() + FloodTimeLimit;
        while (!mayClose && BenchClock::now() < deadline)
            std::this_thread::sleep_for(10ms);
    });

    result.completed =
        BenchWindow::runEventsUntil([&] { return doneNs != 0 || sendFailed; }, FloodTimeLimit)
        && doneNs != 0;
    result.peakMemoryMiB = ProcessFigures::peakMemoryMiB();
    result.userSeconds = ProcessFigures::threadUserSeconds() - userBefore;
    result.systemSeconds = ProcessFigures::threadSystemSeconds() - systemBefore;
    const std::int64_t endNs = result.completed ? doneNs : nanosecondsNow();
    mayClose = true;
    if (!result.completed)
        c.btnDisconnect.Click(); // frees a sender blocked on a full connection
    peer.join();
    BenchWindow::runEventsFor(200ms);

    result.wallSeconds = double(endNs - firstByteNs) / 1e9;
    result.mibPerSecond = mibPerSecond(result.completed ? total : 0, endNs - firstByteNs);
    return result;
}

bool checkLog(const Figures &figures, BenchWindow &window, std::uint64_t total,
              const Stream &stream, QString &verdict) {
    PayloadComparison comparison{Payload(Seed, stream.lineBreaks)};
    const LogContents log =
        LogContents::read(window.todaysLogFile(), [&](const char *data, std::size_t count) {
            comparison.add(data, count);
        });
    const std::uint64_t expectedHash = sentHash(total, stream);
    figures.info(QStringLiteral("log"),
                 QStringLiteral("%1 entries, %2 data bytes, hash %3 (sent %4 bytes, hash %5)%6")
                     .arg(log.entries)
                     .arg(log.dataBytes)
                     .arg(comparison.hash(), 16, 16, QLatin1Char('0'))
                     .arg(total)
                     .arg(expectedHash, 16, 16, QLatin1Char('0'))
                     .arg(log.problem.isEmpty() ? QString() : QStringLiteral(", ") + log.problem));
    const bool intact = log.problem.isEmpty() && comparison.received() == total
                        && comparison.firstDifference() < 0 && comparison.hash() == expectedHash;
    verdict = QStringLiteral("all bytes equal");
    if (comparison.firstDifference() >= 0)
        verdict = QStringLiteral("first difference at byte %1").arg(comparison.firstDifference());
    else if (!intact)
        verdict = QStringLiteral("%1 of %2 bytes logged").arg(comparison.received()).arg(total);
    return intact;
}

void report(const Figures &figures, BenchWindow &window, const std::vector<Round> &rounds,
            const Targets &targets) {
    // Ticks are 100 ms apart by design; what the flood adds is how late the tick comes.
    const qint64 tickInterval = window.program().tmrMain().interval();
    std::vector<double> baselines, baselineCpus, windows, windowCpus, tickDelays;
    bool completed = true;
    bool logsIntact = true;
    QStringList verdicts;
    for (const Round &round : rounds) {
        const Result &result = round.window;
        // Other processes on the machine can starve either run; CPU time is not affected by
        // that.
        const double windowCpu = result.userSeconds + result.systemSeconds;
        baselines.push_back(round.baseline);
        baselineCpus.push_back(round.baselineCpu);
        windows.push_back(result.mibPerSecond);
        windowCpus.push_back(windowCpu);
        tickDelays.push_back(double(std::max<qint64>(0, result.longestTickGap - tickInterval)));
        completed = completed && result.completed;
        logsIntact = logsIntact && round.logIntact;
        if (!verdicts.contains(round.logVerdict))
            verdicts << round.logVerdict;
    }
    const double baseline = Figures::median(baselines);
    const double baselineCpu = Figures::median(baselineCpus);
    const double windowRate = Figures::median(windows);
    const double windowCpu = Figures::median(windowCpus);
    figures.info(QStringLiteral("median baseline receiver (recv + write)"),
                 Figures::number(baseline) + QStringLiteral(" MiB/s, receiving thread CPU ")
                     + Figures::number(baselineCpu, 2) + QStringLiteral(" s"));
    figures.info(QStringLiteral("median window with logging"),
                 Figures::number(windowRate) + QStringLiteral(" MiB/s, window thread CPU ")
                     + Figures::number(windowCpu, 2) + QStringLiteral(" s")
                     + (completed ? QString() : QStringLiteral(" (a flood did not complete)")));
    // One round starved by another process should not hide that the others agree.
    std::vector<double> sorted = baselines;
    std::sort(sorted.begin(), sorted.end());
    const double spread =
        baseline > 0
            ? (Figures::percentile(sorted, 0.75) - Figures::percentile(sorted, 0.25)) / baseline
            : 1;
    figures.target(QStringLiteral("baseline spread within the run (interquartile / median)"),
                   QStringLiteral("%1 % (all rounds %2 to %3 MiB/s)")
                       .arg(Figures::number(spread * 100), Figures::number(sorted.front()),
                            Figures::number(sorted.back())),
                   spread < 0.2, QStringLiteral("< 20 %"));
    reportNetcat(figures, rounds, windowRate);
    const double ratio = baseline > 0 ? windowRate / baseline : 0;
    const double cpuRatio = windowCpu > 0 ? baselineCpu / windowCpu : 0;
    const QString throughputGoal = Figures::number(targets.throughputRatio, 2);
    if (targets.throughputRatio > 0)
        figures.target(QStringLiteral("throughput ratio"), Figures::number(ratio, 2),
                       ratio >= targets.throughputRatio, QStringLiteral(">= ") + throughputGoal);
    else
        figures.info(QStringLiteral("throughput ratio"), Figures::number(ratio, 2));
    if (targets.cpuRatio > 0)
        figures.target(QStringLiteral("CPU time ratio (baseline / window)"),
                       Figures::number(cpuRatio, 2), cpuRatio >= targets.cpuRatio,
                       QStringLiteral(">= ") + Figures::number(targets.cpuRatio, 2));
    else
        figures.info(QStringLiteral("CPU time ratio (baseline / window)"),
                     Figures::number(cpuRatio, 2));
    reportFirstRound(figures, windows, targets.steadyFirstRound);
    const double tickDelay = Figures::median(tickDelays);
    figures.target(QStringLiteral("longest tmrMain delay beyond its interval"),
                   QStringLiteral("median %1 ms (worst %2 ms, interval %3 ms)")
                       .arg(tickDelay)
                       .arg(*std::max_element(tickDelays.begin(), tickDelays.end()))
                       .arg(tickInterval),
                   tickDelay <= 100, QStringLiteral("<= 100 ms"));
    double peakMemory = 0;
    for (const Round &round : rounds)
        peakMemory = std::max(peakMemory, round.window.peakMemoryMiB);
    figures.target(QStringLiteral("peak memory"),
                   Figures::number(peakMemory) + QStringLiteral(" MiB"), peakMemory <= 200,
                   QStringLiteral("<= 200 MiB"));
    figures.target(QStringLiteral("logged data"), verdicts.join(QLatin1String("; ")), logsIntact,
                   QStringLiteral("every byte logged unchanged, every round"));
}

} // namespace WindowFlood
