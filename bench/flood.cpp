// TCP flood: the same payload into a plain recv-and-write receiver, into `nc -l > file` and into
// the window with logging on, in turns, nine rounds with every file in memory; compares the
// medians of their throughput and CPU time and checks every log byte for byte. One unmeasured
// round of the receiver goes first, so its figures hold still enough to judge the window by. One
// more round on disk is shown as information. The hex flood does the same with the received-data
// box showing hex dumps with time stamps. The line-free flood sends the payload without line breaks
// at a steady rate, so the box keeps showing one growing line: only the window's responsiveness and
// the log count there.
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "headless_run.h"
#include "scratch.h"
#include "window_flood.h"

#include "model/form.h"
#include "net/socket_array.h"
#include "net/socket_control.h"

#include <QFile>
#include <QStandardPaths>

#include <optional>

using namespace std::chrono_literals;

namespace {

constexpr int Rounds = 9;

// The reference receiver writing into `baselineFile`, then the window logging into its log
// folder, with the round's figures printed under `name`. False when the round could not run.
bool floodRound(BenchWindow &window, quint16 port, std::uint64_t total,
                const WindowFlood::Stream &stream, const QString &baselineFile, const QString &name,
                const Figures &figures, const HeadlessBench *netcat, WindowFlood::Round &round) {
    // Each round's log holds that round's flood alone. It goes before the reference runs,
    // so both write into memory that the system has just had back.
    QFile::remove(window.todaysLogFile());
    round.baseline =
        WindowFlood::baselineThroughput(total, stream, baselineFile, figures, round.baselineCpu);
    if (round.baseline <= 0)
        return false;
    if (netcat) {
        const HeadlessRun run = netcat->run(Receiver::Netcat, ScratchFolder());
        round.netcat = run.completed ? run.mibPerSecond : 0;
    }
    // The listener is back for the next peer once the status monitor has seen the last one go.
    if (!BenchWindow::runEventsUntil(
            [&] {
                return window.program().sockets().listenSock->Count() == 1
                       && window.element(0)->State() == SocketControl::Listening;
            },
            10s)) {
        figures.info(name, QStringLiteral("the listener did not reopen"));
        return false;
    }
    ProcessFigures::resetPeakMemory();
    round.window = WindowFlood::run(window, port, total, stream);
    const WindowFlood::Result &result = round.window;
    figures.info(
        name,
        QStringLiteral("baseline %1 MiB/s (CPU %2 s); window %3 MiB/s%4 (user %5 s, system "
                       "%6 s, wall %7 s), %8 data arrivals (mean chunk %9 KiB), longest "
                       "tmrMain gap %10 ms%11")
            .arg(Figures::number(round.baseline), Figures::number(round.baselineCpu, 2),
                 Figures::number(result.mibPerSecond),
                 result.completed ? QString() : QStringLiteral(" (did not complete)"),
                 Figures::number(result.userSeconds, 2), Figures::number(result.systemSeconds, 2),
                 Figures::number(result.wallSeconds, 2))
            .arg(result.entries)
            .arg(
                Figures::number(result.entries ? double(total) / double(result.entries) / 1024 : 0))
            .arg(result.longestTickGap)
            .arg(round.netcat > 0
                     ? QStringLiteral("; nc -l %1 MiB/s").arg(Figures::number(round.netcat))
                     : QString()));
    round.logIntact = WindowFlood::checkLog(figures, window, total, stream, round.logVerdict);
    return true;
}

enum class Kind { Text, Hex, LineFree };

// Slow enough for the box to show the line growing and being cut at its front, for seconds.
constexpr WindowFlood::Stream LineFree{false, 4};
constexpr std::uint64_t LineFreeBytes = 16ULL << 20;

int flood(const QStringList &arguments, Kind kind) {
    const bool hexView = kind == Kind::Hex;
    WindowFlood::Stream stream = kind == Kind::LineFree ? LineFree : WindowFlood::Stream{};
    if (kind == Kind::LineFree && arguments.size() > 1)
        stream.mibPerSecond = arguments.value(1).toDouble();
    const std::uint64_t total = !arguments.isEmpty()
                                    ? std::uint64_t(arguments.value(0).toDouble() * (1 << 20))
                                : kind == Kind::LineFree ? LineFreeBytes
                                                         : WindowFlood::DefaultBytes;
    const Figures figures(hexView ? QStringLiteral("TCP flood, hex view with time stamps")
                          : kind == Kind::LineFree ? QStringLiteral("TCP flood without line breaks")
                                                   : QStringLiteral("TCP flood"));
    figures.info(QStringLiteral("payload"),
                 QStringLiteral("%1 MiB, %2 rounds of the baseline receiver, then the window")
                     .arg(double(total) / double(1 << 20))
                     .arg(Rounds));

    BenchWindow window;
    if (!window.valid())
        return 2;
    figures.info(QStringLiteral("files"), window.where());
    window.form().txtNetData.setShowHex(hexView);
    window.form().txtNetData.setShowTimeStamps(hexView);
    window.enableLog();
    const quint16 port = window.start(true, figures);
    if (port == 0)
        return 2;

    const QString netcatProgram = QStandardPaths::findExecutable(QStringLiteral("nc"));
    std::optional<HeadlessBench> netcat;
    if (!netcatProgram.isEmpty() && kind == Kind::Text)
        netcat.emplace(total, QString(), netcatProgram, QString());
    // The first round on a machine just woken is slower for every receiver alike: the
    // reference receiver takes it.
    double warmUpCpu = 0;
    WindowFlood::baselineThroughput(total, stream, window.folder(QStringLiteral("baseline.bin")),
                                    figures, warmUpCpu);
    std::vector<WindowFlood::Round> rounds;
    for (int i = 1; i <= Rounds; ++i) {
        WindowFlood::Round round;
        if (!floodRound(window, port, total, stream, window.folder(QStringLiteral("baseline.bin")),
                        QStringLiteral("round %1").arg(i), figures, netcat ? &*netcat : nullptr,
                        round))
            return 2;
        rounds.push_back(round);
    }
    // The view keeps its targets for the flood of plain text; the hex view costs more to show.
    const WindowFlood::Targets targets = kind == Kind::Hex ? WindowFlood::Targets{0.5, 0}
                                         : kind == Kind::LineFree
                                             ? WindowFlood::Targets{0, 0}
                                             : WindowFlood::Targets{0.95, 0.8, true};
    WindowFlood::report(figures, window, rounds, targets);

    // Both writing to disk once more: the machine's writeback then sets the pace.
    const ScratchFolder disk(ScratchFolder::Disk);
    WindowFlood::Round round;
    if (disk.valid()) {
        window.enableLog(disk.filePath(QStringLiteral("logs")));
        disk.flush();
        if (floodRound(window, port, total, stream, disk.filePath(QStringLiteral("baseline.bin")),
                       QStringLiteral("on disk"), figures, nullptr, round)) {
            const double ratio =
                round.baseline > 0 ? round.window.mibPerSecond / round.baseline : 0;
            figures.info(QStringLiteral("on disk, information only"),
                         QStringLiteral("%1, throughput ratio %2")
                             .arg(disk.description(), Figures::number(ratio, 2)));
        }
        QFile::remove(window.todaysLogFile());
    }
    figures.info(QStringLiteral("box after the floods"),
                 QStringLiteral("%1 characters shown").arg(window.form().txtNetData.text().size()));
    return 0;
}

} // namespace

int runFlood(const QStringList &arguments) {
    return flood(arguments, Kind::Text);
}

int runHexFlood(const QStringList &arguments) {
    return flood(arguments, Kind::Hex);
}

int runLineFreeFlood(const QStringList &arguments) {
    return flood(arguments, Kind::LineFree);
}
