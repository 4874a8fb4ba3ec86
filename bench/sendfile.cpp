// A file sent over loopback TCP by `sendrel --send-file` against `nc -N < file` in the same
// rounds, interleaved, into one in-process reader that checks every byte; medians of the rounds,
// and the peak memory of sendrel, which must not grow with the file.
#include "benchmarks.h"
#include "figures.h"
#include "payload.h"
#include "peer_socket.h"
#include "scratch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t DefaultBytes = 1ULL << 30;
constexpr int Rounds = 5;
constexpr std::size_t Block = 4 << 20;
constexpr std::uint64_t Seed = 0x5e4df11e;
constexpr double MiB = 1024.0 * 1024.0;
constexpr auto RunTimeLimit = 300s;

struct Run {
    double mibPerSecond = 0;
    double peakMiB = 0; // the sender's VmHWM, read while it lingers after the last byte
    QString problem;
};

double peakMemoryMiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

bool writePayload(const QString &path, std::uint64_t total) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const Payload payload(Seed);
    std::vector<char> block(Block);
    for (std::uint64_t offset = 0; offset < total; offset += Block) {
        const std::size_t count = std::size_t(std::min<std::uint64_t>(Block, total - offset));
        payload.fill(offset, block.data(), count);
        if (file.write(block.data(), qint64(count)) != qint64(count))
            return false;
    }
    return file.flush();
}

// One send: the reader counts and checks from its first byte to the file's last.
Run sendOnce(bool sendrel, const QString &program, const QString &file, std::uint64_t total,
             const QString &folder) {
    Run run;
    std::uint16_t port = 0;
    PeerSocket listener = PeerSocket::listenTcp(port);
    std::atomic<std::int64_t> firstNs{0}, lastNs{0};
    std::atomic<bool> whole{false};
    std::thread reader([&] {
        const PeerSocket peer = listener.accept();
        peer.setReceiveTimeout(std::chrono::duration_cast<std::chrono::milliseconds>(RunTimeLimit));
        PayloadComparison comparison{Payload(Seed)};
        std::vector<char> buffer(1 << 20);
        long got = 0;
        while ((got = peer.receive(buffer.data(), buffer.size())) > 0) {
            if (comparison.received() == 0)
                firstNs = nanosecondsNow();
            comparison.add(buffer.data(), std::size_t(got));
            if (comparison.received() == total) {
                lastNs = nanosecondsNow();
                whole = comparison.firstDifference() < 0;
            }
        }
    });

    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QDir(folder).filePath(QStringLiteral("stderr.txt")));
    const QString to = QStringLiteral("127.0.0.1:%1").arg(port);
    if (sendrel) {
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(program, {QStringLiteral("--send-file"), file, QStringLiteral("--to"), to,
                                QStringLiteral("--settings"),
                                QDir(folder).filePath(QStringLiteral("none.ini"))});
    } else {
        process.setStandardInputFile(file);
        process.start(program,
                      {QStringLiteral("-N"), QStringLiteral("127.0.0.1"), QString::number(port)});
    }
    process.waitForStarted(10000);
    const auto deadline = BenchClock::now() + RunTimeLimit;
    while (lastNs == 0 && process.state() == QProcess::Running && BenchClock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    // sendrel lingers half a second after the last byte, so it is still there to be measured.
    if (sendrel && lastNs != 0)
        run.peakMiB = peakMemoryMiB(process.processId());
    if (!process.waitForFinished(30000))
        process.kill();
    process.waitForFinished(5000);
    ::shutdown(listener.fd(), SHUT_RDWR); // wakes a reader still waiting for the connection
    reader.join();
    if (lastNs == 0 || !whole)
        run.problem = QStringLiteral("%1 did not deliver the file whole (exit %2)")
                          .arg(QFileInfo(program).fileName())
                          .arg(process.exitCode());
    else if (process.exitCode() != 0)
        run.problem = QStringLiteral("%1 exited with %2")
                          .arg(QFileInfo(program).fileName())
                          .arg(process.exitCode());
    else
        run.mibPerSecond = double(total) / MiB / (double(lastNs - firstNs) / 1e9);
    return run;
}

} // namespace

int runSendFile(const QStringList &arguments) {
    const std::uint64_t total = arguments.value(0).toULongLong() > 0
                                    ? arguments.value(0).toULongLong() << 20
                                    : DefaultBytes;
    const Figures figures(QStringLiteral("file send against nc"));
    const QString sendrel = QCoreApplication::applicationDirPath() + QStringLiteral("/sendrel");
    const QString netcat = QStandardPaths::findExecutable(QStringLiteral("nc"));
    const ScratchFolder dir;
    const QString file = dir.filePath(QStringLiteral("payload.bin"));
    if (!QFile::exists(sendrel) || netcat.isEmpty() || !dir.valid() || !writePayload(file, total)) {
        figures.info(QStringLiteral("setup"),
                     QStringLiteral("needs %1, nc (netcat-openbsd) and room for the file")
                         .arg(QDir::toNativeSeparators(sendrel)));
        return 2;
    }
    figures.info(QStringLiteral("payload"),
                 QStringLiteral("a %1 MiB file, %2 rounds of nc, sendrel")
                     .arg(double(total) / MiB)
                     .arg(Rounds));
    std::vector<double> rates[2];
    std::vector<double> peaks;
    for (int round = 1; round <= Rounds; ++round) {
        QStringList line;
        for (const bool viaSendrel : {false, true}) {
            const Run run =
                sendOnce(viaSendrel, viaSendrel ? sendrel : netcat, file, total, dir.path());
            if (!run.problem.isEmpty()) {
                figures.target(QStringLiteral("runs"), run.problem, false,
                               QStringLiteral("every run delivers the file whole"));
                return 0;
            }
            rates[viaSendrel].push_back(run.mibPerSecond);
            if (viaSendrel)
                peaks.push_back(run.peakMiB);
            line << QStringLiteral("%1 %2 MiB/s%3")
                        .arg(
                            viaSendrel ? QStringLiteral("sendrel") : QStringLiteral("nc -N"),
                            Figures::number(run.mibPerSecond),
                            viaSendrel
                                ? QStringLiteral(" (peak %1 MiB)").arg(Figures::number(run.peakMiB))
                                : QString());
        }
        figures.info(QStringLiteral("round %1").arg(round), line.join(QLatin1String("; ")));
    }
    const double reference = Figures::median(rates[0]);
    const double ratio = reference > 0 ? Figures::median(rates[1]) / reference : 0;
    figures.info(QStringLiteral("medians"),
                 QStringLiteral("nc -N %1 MiB/s, sendrel %2 MiB/s")
                     .arg(Figures::number(reference), Figures::number(Figures::median(rates[1]))));
    figures.target(QStringLiteral("throughput ratio (sendrel / nc)"), Figures::number(ratio, 2),
                   ratio >= 0.8, QStringLiteral(">= 0.8"));
    // Flat: the program itself plus its bounded write buffer, whatever the file's size.
    const double peak = *std::max_element(peaks.begin(), peaks.end());
    figures.target(QStringLiteral("peak memory of sendrel"),
                   QStringLiteral("%1 MiB").arg(Figures::number(peak)), peak < 64,
                   QStringLiteral("< 64 MiB for a %1 MiB file").arg(double(total) / MiB));
    return 0;
}
