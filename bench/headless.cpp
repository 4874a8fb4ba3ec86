// The command line as a pipe: 1 GiB over loopback into `sendrel --headless > file`, with and
// without its log, against `nc -l > file` in the same rounds, interleaved; medians of the rounds.
#include "benchmarks.h"
#include "figures.h"
#include "log_check.h"
#include "payload.h"
#include "peer_socket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t DefaultBytes = 1ULL << 30;
constexpr int Rounds = 5;
constexpr std::size_t SendBlock = 256 * 1024;
// The sender repeats this much of the payload, so it spends its time in send() alone.
constexpr std::size_t PatternBytes = 4 << 20;
constexpr auto RunTimeLimit = 300s;
constexpr double MiB = 1024.0 * 1024.0;

enum class Receiver { Netcat, Sendrel, SendrelLog };

QString receiverName(Receiver receiver) {
    switch (receiver) {
    case Receiver::Netcat:
        return QStringLiteral("nc -l");
    case Receiver::Sendrel:
        return QStringLiteral("sendrel --headless");
    case Receiver::SendrelLog:
        return QStringLiteral("sendrel --headless --log");
    }
    return {};
}

struct Run {
    bool completed = false;
    double mibPerSecond = 0;
    double cpuSeconds = 0; // the receiving process, user and system
    qint64 outputBytes = 0;
    LogContents log;
    QString problem;
};

qint64 fileSize(const QByteArray &path) {
    struct stat status {};
    return ::stat(path.constData(), &status) == 0 ? qint64(status.st_size) : -1;
}

// Whether something listens on TCP `port` (IPv4 or IPv6); probing by connecting would use up
// the one connection nc takes.
bool listening(std::uint16_t port) {
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "0A")
                return true;
        }
    }
    return false;
}

// User and system CPU seconds of a running process.
double processCpuSeconds(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = file.readAll();
    // Fields after the command name, which may hold blanks: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return (fields[11].toDouble() + fields[12].toDouble()) / ticks;
}

// The log's last bytes close an entry, and it holds at least the data and one entry's frame.
bool logComplete(const QByteArray &path, std::uint64_t total) {
    static const QByteArray closing =
        QByteArrayLiteral("\r\n") + QByteArray(96, '-') + QByteArrayLiteral("\r\n\r\n");
    const qint64 size = fileSize(path);
    if (size < qint64(total) + LogContents::FrameBytes)
        return false;
    const int file = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    QByteArray tail(closing.size(), '\0');
    const ssize_t got = ::pread(file, tail.data(), std::size_t(tail.size()), size - tail.size());
    ::close(file);
    return got == tail.size() && tail == closing;
}

class HeadlessBench {
public:
    HeadlessBench(std::uint64_t total, const QString &sendrel, const QString &netcat)
        : m_total(total), m_sendrel(sendrel), m_netcat(netcat), m_pattern(PatternBytes) {
        Payload(0x4ead1e55).fill(0, m_pattern.data(), m_pattern.size());
    }

    bool valid() const { return m_dir.isValid(); }
    Run run(Receiver receiver);

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    bool sendAll(const PeerSocket &socket) const;
    QString todaysLog() const;

    std::uint64_t m_total;
    QString m_sendrel;
    QString m_netcat;
    std::vector<char> m_pattern;
    QTemporaryDir m_dir;
};

bool HeadlessBench::sendAll(const PeerSocket &socket) const {
    for (std::uint64_t offset = 0; offset < m_total; offset += SendBlock) {
        const std::size_t count = std::size_t(std::min<std::uint64_t>(SendBlock, m_total - offset));
        if (!socket.sendAll(m_pattern.data() + offset % PatternBytes, count))
            return false;
    }
    return true;
}

QString HeadlessBench::todaysLog() const {
    const QStringList files = QDir(path(QStringLiteral("logs"))).entryList(QDir::Files);
    return files.size() == 1 ? path(QStringLiteral("logs/") + files.first()) : QString();
}

Run HeadlessBench::run(Receiver receiver) {
    Run run;
    const QString output = path(QStringLiteral("received.bin"));
    const QString logs = path(QStringLiteral("logs"));
    QFile::remove(output);
    QDir(logs).removeRecursively();
    std::uint16_t port = 0;
    {
        const PeerSocket probe = PeerSocket::listenTcp(port); // a port nobody uses now
    }

    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(output);
    process.setStandardErrorFile(path(QStringLiteral("stderr.txt")));
    const QString portText = QString::number(port);
    if (receiver == Receiver::Netcat) {
        process.start(m_netcat, {QStringLiteral("-l"), QStringLiteral("127.0.0.1"), portText});
    } else {
        QStringList arguments{QStringLiteral("--headless"), QStringLiteral("--port"), portText,
                              QStringLiteral("--settings"), path(QStringLiteral("none.ini"))};
        if (receiver == Receiver::SendrelLog)
            arguments << QStringLiteral("--log") << logs;
        process.start(m_sendrel, arguments);
    }
    process.waitForStarted(10000);
    const auto ready = BenchClock::now() + 10s;
    while (process.state() == QProcess::Running && !listening(port) && BenchClock::now() < ready)
        std::this_thread::sleep_for(2ms);
    if (!listening(port)) {
        process.kill();
        process.waitForFinished(5000);
        QFile err(path(QStringLiteral("stderr.txt")));
        const QByteArray said = err.open(QIODevice::ReadOnly) ? err.readAll().trimmed() : "";
        run.problem = QStringLiteral("%1 did not listen: %2")
                          .arg(receiverName(receiver), QString::fromLocal8Bit(said));
        return run;
    }

    std::atomic<std::int64_t> firstByteNs{0};
    std::atomic<bool> sendFailed{false};
    std::atomic<bool> mayClose{false};
    std::thread sender([&] {
        const PeerSocket socket = PeerSocket::connectTcp(port, false);
        firstByteNs = nanosecondsNow();
        if (!socket.valid() || !sendAll(socket)) {
            sendFailed = true;
            return;
        }
        // Connected until the receiver has it all, so no receiver handles the close meanwhile.
        const auto deadline = BenchClock::now() + RunTimeLimit;
        while (!mayClose && BenchClock::now() < deadline)
            std::this_thread::sleep_for(5ms);
    });

    const QByteArray outputPath = QFile::encodeName(output);
    QByteArray logPath;
    const auto deadline = BenchClock::now() + RunTimeLimit;
    std::int64_t doneNs = 0;
    while (!sendFailed && process.state() == QProcess::Running && BenchClock::now() < deadline) {
        if (fileSize(outputPath) >= qint64(m_total)) {
            if (receiver != Receiver::SendrelLog) {
                doneNs = nanosecondsNow();
                break;
            }
            if (logPath.isEmpty())
                logPath = QFile::encodeName(todaysLog());
            if (!logPath.isEmpty() && logComplete(logPath, m_total)) {
                doneNs = nanosecondsNow();
                break;
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    run.cpuSeconds = processCpuSeconds(process.processId());
    mayClose = true;
    sender.join();
    // nc ends with the connection; the headless run stops on SIGTERM.
    if (receiver != Receiver::Netcat)
        process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }

    run.outputBytes = fileSize(outputPath);
    if (receiver == Receiver::SendrelLog)
        run.log = LogContents::read(todaysLog());
    run.completed = doneNs != 0;
    if (run.completed)
        run.mibPerSecond = double(m_total) / MiB / (double(doneNs - firstByteNs) / 1e9);
    else
        run.problem = sendFailed ? QStringLiteral("the sender failed")
                                 : QStringLiteral("%1 did not receive everything within %2 s")
                                       .arg(receiverName(receiver))
                                       .arg(RunTimeLimit.count());
    QFile::remove(output);
    QDir(logs).removeRecursively();
    return run;
}

} // namespace

int runHeadless(const QStringList &arguments) {
    const std::uint64_t total = arguments.value(0).toULongLong() > 0
                                    ? arguments.value(0).toULongLong() << 20
                                    : DefaultBytes;
    const Figures figures(QStringLiteral("headless run against nc"));
    const QString sendrel = QCoreApplication::applicationDirPath() + QStringLiteral("/sendrel");
    const QString netcat = QStandardPaths::findExecutable(QStringLiteral("nc"));
    if (!QFile::exists(sendrel) || netcat.isEmpty()) {
        figures.info(QStringLiteral("setup"), QStringLiteral("needs %1 and nc (netcat-openbsd)")
                                                  .arg(QDir::toNativeSeparators(sendrel)));
        return 2;
    }
    figures.info(QStringLiteral("payload"),
                 QStringLiteral("%1 MiB per run, %2 rounds of nc, sendrel, sendrel with its log")
                     .arg(double(total) / MiB)
                     .arg(Rounds));
    HeadlessBench bench(total, sendrel, netcat);
    if (!bench.valid())
        return 2;

    const Receiver receivers[] = {Receiver::Netcat, Receiver::Sendrel, Receiver::SendrelLog};
    std::vector<double> rates[3];
    std::vector<double> cpu[3];
    bool sizesEqual = true;
    bool logsWhole = true;
    for (int round = 1; round <= Rounds; ++round) {
        QStringList line;
        for (int i = 0; i < 3; ++i) {
            const Run run = bench.run(receivers[i]);
            if (!run.problem.isEmpty()) {
                figures.info(QStringLiteral("round %1").arg(round), run.problem);
                figures.target(QStringLiteral("runs"), run.problem, false,
                               QStringLiteral("every run receives everything"));
                return 0;
            }
            rates[i].push_back(run.mibPerSecond);
            cpu[i].push_back(run.cpuSeconds);
            QString text = QStringLiteral("%1 %2 MiB/s (CPU %3 s)")
                               .arg(receiverName(receivers[i]), Figures::number(run.mibPerSecond),
                                    Figures::number(run.cpuSeconds, 2));
            if (run.outputBytes != qint64(total)) {
                sizesEqual = false;
                text += QStringLiteral(", received %1 bytes").arg(run.outputBytes);
            }
            if (receivers[i] == Receiver::SendrelLog) {
                const bool whole = run.log.problem.isEmpty() && run.log.dataBytes == qint64(total);
                logsWhole = logsWhole && whole;
                text += QStringLiteral(", log %1 entries").arg(run.log.entries);
                if (!whole)
                    text += QStringLiteral(", logged %1 bytes %2")
                                .arg(run.log.dataBytes)
                                .arg(run.log.problem);
            }
            line << text;
        }
        figures.info(QStringLiteral("round %1").arg(round), line.join(QLatin1String("; ")));
    }

    for (int i = 0; i < 3; ++i)
        figures.info(QStringLiteral("median ") + receiverName(receivers[i]),
                     QStringLiteral("%1 MiB/s, CPU %2 s")
                         .arg(Figures::number(Figures::median(rates[i])),
                              Figures::number(Figures::median(cpu[i]), 2)));
    const double reference = Figures::median(rates[0]);
    const double plain = reference > 0 ? Figures::median(rates[1]) / reference : 0;
    const double logged = reference > 0 ? Figures::median(rates[2]) / reference : 0;
    figures.target(QStringLiteral("throughput ratio without the log (sendrel / nc)"),
                   Figures::number(plain, 2), plain >= 1.0, QStringLiteral(">= 1.0"));
    figures.target(QStringLiteral("throughput ratio with the log (sendrel / nc)"),
                   Figures::number(logged, 2), logged >= 0.7, QStringLiteral(">= 0.7"));
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
