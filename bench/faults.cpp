// The relay's named faults: what a latency of 0 and a bandwidth of 0 (off) cost against no fault
// at all, in interleaved rounds of bulk data (512 MiB by default; the first argument sets MiB);
// then the one-way delay of a paced 1 Gbit/s flood through a 10 ms latency, against the same
// flood through the relay without it.
#include "benchmarks.h"
#include "figures.h"
#include "relay_process.h"
#include "scratch.h"

#include <QFile>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr std::uint64_t DefaultMiB = 512;
constexpr int Rounds = 5;
constexpr int LatencyMs = 10;
// 1 Gbit/s in blocks of 64 KiB, each stamped with the time it was written, for 4 s.
constexpr std::size_t Block = 64 << 10;
constexpr double BlocksPerSecond = 125e6 / double(Block);
constexpr int Blocks = int(BlocksPerSecond * 4);

QStringList withFaults(const QString &file, const QString &text) {
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(text.toUtf8()) < 0)
        return {};
    return {u"--faults"_s, file};
}

// The one-way delays in ms of a paced flood through the relay, sorted; empty when it failed.
std::vector<double> floodDelays(const QStringList &extra) {
    quint16 targetPort = 0;
    const int server = listenOn(targetPort);
    RelayProcess relay(u"sendrel"_s, targetPort, {}, extra);
    std::vector<double> delays;
    std::thread target([server, &delays] {
        const int peer = ::accept(server, nullptr, nullptr);
        std::vector<char> block(Block);
        for (;;) {
            std::size_t got = 0;
            while (got < Block) {
                const ssize_t part = ::read(peer, block.data() + got, Block - got);
                if (part <= 0)
                    break;
                got += std::size_t(part);
            }
            if (got < Block)
                break;
            std::int64_t sentAt = 0;
            std::memcpy(&sentAt, block.data(), sizeof sentAt);
            delays.push_back(double(nanosecondsNow() - sentAt) / 1e6);
        }
        ::close(peer);
    });
    const int client = connectTo(relay.port);
    std::vector<char> block(Block, 'f');
    const std::int64_t start = nanosecondsNow();
    for (int i = 0; client >= 0 && i < Blocks; ++i) {
        const auto due = start + std::int64_t(double(i) * 1e9 / BlocksPerSecond);
        while (nanosecondsNow() < due)
            std::this_thread::yield();
        const std::int64_t now = nanosecondsNow();
        std::memcpy(block.data(), &now, sizeof now);
        std::size_t sent = 0;
        while (sent < Block) {
            const ssize_t wrote = ::write(client, block.data() + sent, Block - sent);
            if (wrote <= 0)
                break;
            sent += std::size_t(wrote);
        }
    }
    ::shutdown(client, SHUT_WR);
    target.join();
    ::close(client);
    ::close(server);
    if (int(delays.size()) != Blocks)
        return {};
    std::sort(delays.begin(), delays.end());
    return delays;
}

} // namespace

int runFaults(const QStringList &arguments) {
    const Figures figures(u"faults"_s);
    const std::uint64_t mib =
        arguments.value(0).toULongLong() > 0 ? arguments.value(0).toULongLong() : DefaultMiB;
    const ScratchFolder scratch(ScratchFolder::Memory);
    if (!scratch.valid()) {
        figures.info(u"setup"_s, u"needs a scratch folder"_s);
        return 2;
    }
    const QStringList zeroLatency =
        withFaults(scratch.filePath(u"latency0.ini"_s),
                   u"[up]\ntype = latency\nstream = upstream\nlatency = 0\n"
                   "[down]\ntype = latency\nstream = downstream\nlatency = 0\n"_s);
    const QStringList zeroRate =
        withFaults(scratch.filePath(u"bandwidth0.ini"_s),
                   u"[up]\ntype = bandwidth\nstream = upstream\nrate = 0\n"_s);
    const QStringList latency =
        withFaults(scratch.filePath(u"latency.ini"_s),
                   u"[lat]\ntype = latency\nstream = upstream\nlatency = %1\n"_s.arg(LatencyMs));
    figures.info(u"data"_s, u"%1 MiB per run, %2 interleaved rounds"_s.arg(mib).arg(Rounds));
    std::vector<double> none;
    std::vector<double> zeroLatencies;
    std::vector<double> zeroRates;
    for (int round = 0; round < Rounds; ++round) {
        none.push_back(bulk(u"sendrel"_s, mib << 20, {}));
        zeroLatencies.push_back(bulk(u"sendrel"_s, mib << 20, {}, zeroLatency));
        zeroRates.push_back(bulk(u"sendrel"_s, mib << 20, {}, zeroRate));
        figures.info(u"round %1"_s.arg(round + 1),
                     u"no fault %1, latency 0 %2, bandwidth 0 %3 MiB/s"_s.arg(
                         Figures::number(none.back()), Figures::number(zeroLatencies.back()),
                         Figures::number(zeroRates.back())));
    }
    const double base = Figures::median(none);
    for (const auto &[label, rates] :
         {std::pair{u"latency 0"_s, zeroLatencies}, std::pair{u"bandwidth 0"_s, zeroRates}}) {
        const double ratio = base > 0 ? Figures::median(rates) / base : 0;
        figures.target(u"throughput with %1 vs no fault"_s.arg(label), Figures::number(ratio, 2),
                       ratio >= 0.95, u">= 0.95"_s);
    }

    const std::vector<double> plain = floodDelays({});
    const std::vector<double> delayed = floodDelays(latency);
    if (plain.empty() || delayed.empty()) {
        figures.info(u"flood"_s, u"not every block arrived"_s);
        return 2;
    }
    const double plainP50 = Figures::percentile(plain, 0.5);
    // The flood's own spread on this machine is in both: compared at the same percentile.
    const double added = Figures::percentile(delayed, 0.99) - Figures::percentile(plain, 0.99);
    figures.info(
        u"one-way delay of the flood"_s,
        u"no fault p50 %1 ms p99 %2 ms; latency %3 ms p50 %4 ms p99 %5 ms"_s
            .arg(Figures::number(plainP50, 3), Figures::number(Figures::percentile(plain, 0.99), 3))
            .arg(LatencyMs)
            .arg(Figures::number(Figures::percentile(delayed, 0.5), 3),
                 Figures::number(Figures::percentile(delayed, 0.99), 3)));
    figures.target(u"p99 added by latency %1 under a 1 Gbit/s flood"_s.arg(LatencyMs),
                   Figures::number(added, 3) + u" ms"_s, std::abs(added - LatencyMs) <= 1.0,
                   u"%1 ± 1 ms"_s.arg(LatencyMs));
    return 0;
}
