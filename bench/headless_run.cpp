#include "headless_run.h"

#include "benchmarks.h"
#include "payload.h"
#include "peer_socket.h"
#include "scratch.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <array>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr std::size_t SendBlock = 256 * 1024;
// The sender repeats this much of the payload, so it spends its time in send() alone.
constexpr std::size_t PatternBytes = 4 << 20;
constexpr auto RunTimeLimit = 300s;
constexpr double MiB = 1024.0 * 1024.0;

bool listening(std::uint16_t port) {
    return portTaken(port, false);
}

// User and system CPU seconds of a running process.
double processCpuSeconds(const QProcess &process) {
    if (process.state() != QProcess::Running)
        return 0;
    QFile file(QStringLiteral("/proc/%1/stat").arg(process.processId()));
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

QString todaysLog(const QString &folder) {
    const QStringList files = QDir(folder).entryList(QDir::Files);
    return files.size() == 1 ? QDir(folder).filePath(files.first()) : QString();
}

void stop(QProcess &process, bool terminate) {
    if (process.state() == QProcess::NotRunning)
        return;
    if (terminate)
        process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

qint64 fileSize(const QByteArray &path) {
    struct stat status {};
    return ::stat(path.constData(), &status) == 0 ? qint64(status.st_size) : -1;
}

bool portTaken(std::uint16_t port, bool udp) {
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    const auto tables = udp ? std::array{"/proc/net/udp", "/proc/net/udp6"}
                            : std::array{"/proc/net/tcp", "/proc/net/tcp6"};
    for (const char *table : tables) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            // A TCP port counts only while listening (state 0A).
            if (fields.size() > 3 && fields[1].endsWith(local) && (udp || fields[3] == "0A"))
                return true;
        }
    }
    return false;
}

QString receiverName(Receiver receiver) {
    switch (receiver) {
    case Receiver::Netcat:
        return QStringLiteral("nc -l");
    case Receiver::NetcatTee:
        return QStringLiteral("nc -l | tee");
    case Receiver::Sendrel:
        return QStringLiteral("sendrel --headless");
    case Receiver::SendrelLog:
        return QStringLiteral("sendrel --headless --log");
    }
    return {};
}

HeadlessBench::HeadlessBench(std::uint64_t total, const QString &sendrel, const QString &netcat,
                             const QString &tee)
    : m_total(total), m_sendrel(sendrel), m_netcat(netcat), m_tee(tee), m_pattern(PatternBytes) {
    Payload(0x4ead1e55).fill(0, m_pattern.data(), m_pattern.size());
}

bool HeadlessBench::sendAll(const PeerSocket &socket) const {
    for (std::uint64_t offset = 0; offset < m_total; offset += SendBlock) {
        const std::size_t count = std::size_t(std::min<std::uint64_t>(SendBlock, m_total - offset));
        if (!socket.sendAll(m_pattern.data() + offset % PatternBytes, count))
            return false;
    }
    return true;
}

HeadlessRun HeadlessBench::run(Receiver receiver, const ScratchFolder &folder) const {
    HeadlessRun run;
    const QString output = folder.filePath(QStringLiteral("received.bin"));
    const QString teeLog = folder.filePath(QStringLiteral("tee.log"));
    const QString logs = folder.filePath(QStringLiteral("logs"));
    const QString errors = folder.filePath(QStringLiteral("stderr.txt"));
    std::uint16_t port = 0;
    {
        const PeerSocket probe = PeerSocket::listenTcp(port); // a port nobody uses now
    }

    QProcess process;
    QProcess tee; // the second half of `nc -l | tee LOG > FILE`
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(errors);
    const QString portText = QString::number(port);
    if (receiver == Receiver::NetcatTee) {
        process.setStandardOutputProcess(&tee);
        tee.setStandardOutputFile(output);
        tee.setStandardErrorFile(errors, QIODevice::Append);
        tee.start(m_tee, {teeLog});
        tee.waitForStarted(10000);
    } else {
        process.setStandardOutputFile(output);
    }
    if (receiver == Receiver::Netcat || receiver == Receiver::NetcatTee) {
        process.start(m_netcat, {QStringLiteral("-l"), QStringLiteral("127.0.0.1"), portText});
    } else {
        QStringList arguments{QStringLiteral("--headless"), QStringLiteral("--port"), portText,
                              QStringLiteral("--settings"),
                              folder.filePath(QStringLiteral("none.ini"))};
        if (receiver == Receiver::SendrelLog)
            arguments << QStringLiteral("--log") << logs;
        process.start(m_sendrel, arguments);
    }
    process.waitForStarted(10000);
    const auto ready = BenchClock::now() + 10s;
    while (process.state() == QProcess::Running && !listening(port) && BenchClock::now() < ready)
        std::this_thread::sleep_for(2ms);
    if (!listening(port)) {
        stop(process, false);
        stop(tee, true);
        QFile err(errors);
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

    // Done once every file the receiver writes holds it all.
    const QByteArray outputPath = QFile::encodeName(output);
    const QByteArray teePath = QFile::encodeName(teeLog);
    QByteArray logPath;
    const auto done = [&] {
        if (fileSize(outputPath) < qint64(m_total))
            return false;
        if (receiver == Receiver::NetcatTee)
            return fileSize(teePath) >= qint64(m_total);
        if (receiver != Receiver::SendrelLog)
            return true;
        if (logPath.isEmpty())
            logPath = QFile::encodeName(todaysLog(logs));
        return !logPath.isEmpty() && logComplete(logPath, m_total);
    };
    const auto deadline = BenchClock::now() + RunTimeLimit;
    std::int64_t doneNs = 0;
    while (!sendFailed && process.state() == QProcess::Running && BenchClock::now() < deadline) {
        if (done()) {
            doneNs = nanosecondsNow();
            break;
        }
        std::this_thread::sleep_for(1ms);
    }
    run.cpuSeconds = processCpuSeconds(process) + processCpuSeconds(tee);
    mayClose = true;
    sender.join();
    // nc ends with the connection and tee with nc; the headless run stops on SIGTERM.
    stop(process, receiver == Receiver::Sendrel || receiver == Receiver::SendrelLog);
    if (receiver == Receiver::NetcatTee)
        stop(tee, false);

    run.outputBytes = fileSize(outputPath);
    run.teeBytes = fileSize(teePath);
    if (receiver == Receiver::SendrelLog)
        run.log = LogContents::read(todaysLog(logs));
    run.completed = doneNs != 0;
    if (run.completed)
        run.mibPerSecond = double(m_total) / MiB / (double(doneNs - firstByteNs) / 1e9);
    else
        run.problem = sendFailed ? QStringLiteral("the sender failed")
                                 : QStringLiteral("%1 did not receive everything within %2 s")
                                       .arg(receiverName(receiver))
                                       .arg(RunTimeLimit.count());
    QFile::remove(output);
    QFile::remove(teeLog);
    QDir(logs).removeRecursively();
    return run;
}
