#pragma once

#include "figures.h"

#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>

// Datagrams sent at a fixed rate, each starting with its sequence number.
struct Burst {
    std::int64_t sent = 0;
    std::int64_t sendErrors = 0;
    double seconds = 0;
};

// Sends `size`-byte datagrams at `rate` per second for `duration` to 127.0.0.1:port: sleeps
// while far from the next slot, spins for the last stretch so the spacing stays even; at high
// rates a slot sends a batch of one sendmmsg, so the sender keeps up.
Burst sendAtRate(std::uint16_t port, int rate, std::size_t size,
                 std::chrono::milliseconds duration);

// Where a receiver's loss begins: the highest rate it took whole, and the first it did not.
struct Knee {
    int lossless = 0;
    int firstLoss = 0;

    QString text(bool senderLimited) const;
};

// One step's figure line, and the knee moved by it; false when the sender fell short of the rate,
// so the step says nothing about the receiver.
bool reportStep(const Figures &figures, const QString &receiver, int rate, const Burst &burst,
                std::int64_t received, Knee &knee);

// The target that `logFile` holds one whole entry of `size` bytes for each of `datagrams`
// datagrams (`counted` says how they were counted: "received", "written out").
void logEntriesTarget(const Figures &figures, const QString &name, const QString &logFile,
                      std::size_t size, std::int64_t datagrams, const QString &counted);

// The rising rates every UDP benchmark tries.
inline constexpr int UdpRates[] = {5000,   10000,  20000,  40000,  60000,  80000,  120000,
                                   160000, 240000, 320000, 480000, 640000, 960000, 1280000};
