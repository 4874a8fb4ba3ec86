#pragma once

#include <QString>

#include <cstdint>
#include <vector>

class BenchWindow;
class Figures;

// A TCP flood over loopback: the same deterministic payload into a plain receiver (the
// yardstick) or into the window's listener with logging on.
namespace WindowFlood {

constexpr std::uint64_t DefaultBytes = 256ULL << 20;

// What the peer sends: the payload with or without line breaks, as fast as it goes or at a
// steady rate.
struct Stream {
    bool lineBreaks = true;
    double mibPerSecond = 0; // 0: as fast as it goes
};

// MiB/s of a receiver that only writes what arrives to `fileName`; `cpuSeconds` receives what
// its thread spent. 0 when it could not run (reported in `figures`).
double baselineThroughput(std::uint64_t total, const Stream &stream, const QString &fileName,
                          const Figures &figures, double &cpuSeconds);

struct Result {
    bool completed = false;
    double mibPerSecond = 0;
    double userSeconds = 0; // the window's thread
    double systemSeconds = 0;
    double wallSeconds = 0;
    qint64 entries = 0; // data arrivals
    qint64 longestTickGap = 0;
    double peakMemoryMiB = 0;
};

// Sends `total` bytes to the window's TCP listener on `port` (started, logging on) and runs the
// window's events until its log holds them all.
Result run(BenchWindow &window, quint16 port, std::uint64_t total, const Stream &stream = {});

// One flood of the reference receiver, then one of the window, and what the window logged.
struct Round {
    double baseline = 0; // MiB/s
    double baselineCpu = 0;
    Result window;
    double netcat = 0; // MiB/s of `nc -l > file`, 0 when it did not run
    bool logIntact = false;
    QString logVerdict;
};

// The log of the last flood checked byte for byte against what was sent (and printed).
bool checkLog(const Figures &figures, BenchWindow &window, std::uint64_t total,
              const Stream &stream, QString &verdict);

// What the window must reach against the reference receiver; 0 leaves a figure without target
// (a paced stream gives the throughput no meaning).
struct Targets {
    double throughputRatio = 0;
    double cpuRatio = 0;
    bool steadyFirstRound = false; // the first flood after start within 20 % of the later ones
};

// Each round's figures, then the medians against the targets, the tick delay, peak memory and
// whether every log held every byte unchanged.
void report(const Figures &figures, BenchWindow &window, const std::vector<Round> &rounds,
            const Targets &targets);

} // namespace WindowFlood
