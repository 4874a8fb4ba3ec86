#pragma once

#include <QStringList>

#include <chrono>
#include <cstdint>

// Each benchmark prints its figures and target lines and answers the process exit code:
// 0 when it ran (targets met or not), 2 when it could not be set up.
int runFlood(const QStringList &arguments);
int runHexFlood(const QStringList &arguments);
int runLineFreeFlood(const QStringList &arguments);
int runUdpRate(const QStringList &arguments);
int runUdpHeadless(const QStringList &arguments);
int runRoundTrip(const QStringList &arguments);
int runSoak(const QStringList &arguments);
int runBacklog(const QStringList &arguments);
int runAccessibility(const QStringList &arguments);
int runRespond(const QStringList &arguments);
int runHeadless(const QStringList &arguments);
int runRepeat(const QStringList &arguments);
int runSendFile(const QStringList &arguments);
int runSequenceBench(const QStringList &arguments);
int runRelay(const QStringList &arguments);
int runFaults(const QStringList &arguments);
int runTlsFlood(const QStringList &arguments);
int runTlsHandshakes(const QStringList &arguments);
int runDtlsRate(const QStringList &arguments);

using BenchClock = std::chrono::steady_clock;

inline std::int64_t nanosecondsNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               BenchClock::now().time_since_epoch())
        .count();
}
