// TCP flood: the same payload into a plain recv-and-write receiver and into the window with
// logging on; compares their throughput and checks the log byte for byte. The hex flood does
// the same with the received-data box showing hex dumps with time stamps.
#include "bench_window.h"
#include "benchmarks.h"
#include "figures.h"
#include "window_flood.h"

#include "model/form.h"

namespace {

int flood(const QStringList &arguments, bool hexView) {
    const std::uint64_t total =
        arguments.isEmpty() ? WindowFlood::DefaultBytes : arguments.value(0).toULongLong() << 20;
    const Figures figures(hexView ? QStringLiteral("TCP flood, hex view with time stamps")
                                  : QStringLiteral("TCP flood"));
    figures.info(QStringLiteral("payload"),
                 QStringLiteral("%1 MiB").arg(double(total) / double(1 << 20)));

    BenchWindow window;
    if (!window.valid())
        return 2;

    double baselineCpu = 0;
    const double baseline = WindowFlood::baselineThroughput(
        total, window.folder(QStringLiteral("baseline.bin")), figures, baselineCpu);
    figures.info(QStringLiteral("baseline receiver (recv + write)"),
                 Figures::number(baseline) + QStringLiteral(" MiB/s, receiving thread CPU ")
                     + Figures::number(baselineCpu, 2) + QStringLiteral(" s"));

    window.form().txtNetData.setShowHex(hexView);
    window.form().txtNetData.setShowTimeStamps(hexView);
    window.enableLog();
    const quint16 port = window.start(true, figures);
    if (port == 0)
        return 2;
    const WindowFlood::Result result = WindowFlood::run(window, port, total);
    WindowFlood::report(figures, window, result, total, baseline, baselineCpu);
    figures.info(QStringLiteral("box after the flood"),
                 QStringLiteral("%1 characters shown").arg(window.form().txtNetData.text().size()));
    return 0;
}

} // namespace

int runFlood(const QStringList &arguments) {
    return flood(arguments, false);
}

int runHexFlood(const QStringList &arguments) {
    return flood(arguments, true);
}
