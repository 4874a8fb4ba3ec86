// The command line as a pipe: 1 GiB over loopback into `sendrel --headless > file`, with and
// without its log, against `nc -l > file` and `nc -l | tee log > file` (the same bytes written as
// with the log) in the same rounds, interleaved; medians of the rounds. Every file is in memory,
// so the figures are the programs' own; one more run of each writer on disk is information only.
#include "benchmarks.h"
#include "figures.h"
#include "headless_run.h"
#include "scratch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <vector>

namespace {

constexpr std::uint64_t DefaultBytes = 1ULL << 30;
constexpr int Rounds = 5;
constexpr double MiB = 1024.0 * 1024.0;

constexpr Receiver Receivers[] = {Receiver::Netcat, Receiver::NetcatTee, Receiver::Sendrel,
                                  Receiver::SendrelLog};
constexpr int ReceiverCount = int(std::size(Receivers));

// The run's figures for a round line, and whether each file holds every byte sent.
QString describe(const HeadlessRun &run, Receiver receiver, std::uint64_t total, bool &sizesEqual,
                 bool &logsWhole) {
    QString text = QStringLiteral("%1 %2 MiB/s (CPU %3 s)")
                       .arg(receiverName(receiver), Figures::number(run.mibPerSecond),
                            Figures::number(run.cpuSeconds, 2));
    const bool teeShort = receiver == Receiver::NetcatTee && run.teeBytes != qint64(total);
    if (run.outputBytes != qint64(total) || teeShort) {
        sizesEqual = false;
        text +=
            QStringLiteral(", received %1 bytes (tee %2)").arg(run.outputBytes).arg(run.teeBytes);
    }
    if (receiver == Receiver::SendrelLog) {
        const bool whole = run.log.problem.isEmpty() && run.log.dataBytes == qint64(total);
        logsWhole = logsWhole && whole;
        text += QStringLiteral(", log %1 entries").arg(run.log.entries);
        if (!whole)
            text +=
                QStringLiteral(", logged %1 bytes %2").arg(run.log.dataBytes).arg(run.log.problem);
    }
    return text;
}

double ratio(const std::vector<double> &rates, const std::vector<double> &reference) {
    const double base = Figures::median(reference);
    return base > 0 ? Figures::median(rates) / base : 0;
}

} // namespace

int runHeadless(const QStringList &arguments) {
    const std::uint64_t total = arguments.value(0).toULongLong() > 0
                                    ? arguments.value(0).toULongLong() << 20
                                    : DefaultBytes;
    const Figures figures(QStringLiteral("headless run against nc"));
    const QString sendrel = QCoreApplication::applicationDirPath() + QStringLiteral("/sendrel");
    const QString netcat = QStandardPaths::findExecutable(QStringLiteral("nc"));
    const QString tee = QStandardPaths::findExecutable(QStringLiteral("tee"));
    const ScratchFolder memory;
    if (!QFile::exists(sendrel) || netcat.isEmpty() || tee.isEmpty() || !memory.valid()) {
        figures.info(QStringLiteral("setup"),
                     QStringLiteral("needs %1, nc (netcat-openbsd), tee and a temporary folder")
                         .arg(QDir::toNativeSeparators(sendrel)));
        return 2;
    }
    figures.info(QStringLiteral("payload"),
                 QStringLiteral("%1 MiB per run, %2 rounds of nc, nc | tee, sendrel, sendrel with "
                                "its log; files in %3")
                     .arg(double(total) / MiB)
                     .arg(Rounds)
                     .arg(memory.description()));
    const HeadlessBench bench(total, sendrel, netcat, tee);

    std::vector<double> rates[ReceiverCount];
    std::vector<double> cpu[ReceiverCount];
    bool sizesEqual = true;
    bool logsWhole = true;
    for (int round = 1; round <= Rounds; ++round) {
        QStringList line;
        for (int i = 0; i < ReceiverCount; ++i) {
            const HeadlessRun run = bench.run(Receivers[i], memory);
            if (!run.problem.isEmpty()) {
                figures.info(QStringLiteral("round %1").arg(round), run.problem);
                figures.target(QStringLiteral("runs"), run.problem, false,
                               QStringLiteral("every run receives everything"));
                return 0;
            }
            rates[i].push_back(run.mibPerSecond);
            cpu[i].push_back(run.cpuSeconds);
            line << describe(run, Receivers[i], total, sizesEqual, logsWhole);
        }
        figures.info(QStringLiteral("round %1").arg(round), line.join(QLatin1String("; ")));
    }

    for (int i = 0; i < ReceiverCount; ++i)
        figures.info(QStringLiteral("median ") + receiverName(Receivers[i]),
                     QStringLiteral("%1 MiB/s, CPU %2 s")
                         .arg(Figures::number(Figures::median(rates[i])),
                              Figures::number(Figures::median(cpu[i]), 2)));
    const double plain = ratio(rates[2], rates[0]);
    const double logged = ratio(rates[3], rates[0]);
    const double loggedTee = ratio(rates[3], rates[1]);
    figures.target(QStringLiteral("throughput ratio without the log (sendrel / nc)"),
                   Figures::number(plain, 2), plain >= 1.0, QStringLiteral(">= 1.0"));
    figures.target(QStringLiteral("throughput ratio with the log (sendrel --log / nc | tee)"),
                   Figures::number(loggedTee, 2), loggedTee >= 1.0, QStringLiteral(">= 1.0"));
    figures.target(QStringLiteral("throughput ratio with the log (sendrel --log / nc)"),
                   Figures::number(logged, 2), logged >= 0.7, QStringLiteral(">= 0.7"));

    // The same two writers once on disk, each after the last one's writeback is done.
    const ScratchFolder disk(ScratchFolder::Disk);
    if (disk.valid()) {
        QStringList line;
        std::vector<double> diskRates[2];
        for (int i = 0; i < 2; ++i) {
            const Receiver receiver = i == 0 ? Receiver::NetcatTee : Receiver::SendrelLog;
            disk.flush();
            const HeadlessRun run = bench.run(receiver, disk);
            diskRates[i].push_back(run.mibPerSecond);
            line << (run.problem.isEmpty() ? describe(run, receiver, total, sizesEqual, logsWhole)
                                           : run.problem);
        }
        disk.flush();
        figures.info(QStringLiteral("on disk, information only"),
                     QStringLiteral("%1; ratio %2 (files in %3)")
                         .arg(line.join(QLatin1String("; ")),
                              Figures::number(ratio(diskRates[1], diskRates[0]), 2),
                              disk.description()));
    }

    figures.target(QStringLiteral("received files"),
                   sizesEqual ? QStringLiteral("every one as long as what was sent")
                              : QStringLiteral("sizes differ"),
                   sizesEqual, QStringLiteral("%1 bytes each").arg(total));
    figures.target(QStringLiteral("logs"),
                   logsWhole ? QStringLiteral("whole entries holding every byte sent")
                             : QStringLiteral("bytes missing or entries broken"),
                   logsWhole, QStringLiteral("%1 data bytes in whole entries").arg(total));
    return 0;
}
