// UDP on the command line: `sendrel --headless --udp --log DIR > file` at rising fixed rates of
// 64-, 512- and 1,472-byte datagrams, against `socat -u UDP-RECV:PORT - > file` and a plain
// recvmmsg receiver in the same run; each until it loses datagrams. The files are in memory.
// Then answers over UDP from seven pairs: how many a second, and their round trips.
#include "benchmarks.h"
#include "figures.h"
#include "headless_run.h"
#include "log_check.h"
#include "peer_socket.h"
#include "scratch.h"
#include "udp_receiver.h"
#include "udp_sender.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr auto StepDuration = 1000ms;
constexpr std::size_t Sizes[] = {64, 512, 1472};

// A UDP port nobody holds now.
std::uint16_t freeUdpPort() {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (::bind(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(probe);
    return port;
}

bool udpBound(std::uint16_t port) {
    return portTaken(port, true);
}

// A receiver that writes each datagram's bytes to a file: counted by the file's growth.
class PipedReceiver {
public:
    PipedReceiver(const QString &program, const QStringList &arguments, const QString &output,
                  std::uint16_t port, std::size_t size)
        : m_output(output), m_size(size) {
        m_process.setStandardInputFile(QProcess::nullDevice());
        m_process.setStandardOutputFile(output);
        m_process.setStandardErrorFile(output + QStringLiteral(".err"));
        m_process.start(program, arguments);
        m_process.waitForStarted(10000);
        const auto ready = BenchClock::now() + 10s;
        while (m_process.state() == QProcess::Running && !udpBound(port)
               && BenchClock::now() < ready)
            std::this_thread::sleep_for(5ms);
        m_valid = udpBound(port);
    }
    ~PipedReceiver() {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    PipedReceiver(const PipedReceiver &) = delete;
    PipedReceiver &operator=(const PipedReceiver &) = delete;

    bool valid() const { return m_valid; }
    // Datagrams written out so far, once the output has stopped growing.
    std::int64_t settled() const {
        for (qint64 last = -1;;) {
            const qint64 now = std::max<qint64>(fileSize(QFile::encodeName(m_output)), 0);
            if (now == last)
                return now / qint64(m_size);
            last = now;
            std::this_thread::sleep_for(300ms);
        }
    }

private:
    QProcess m_process;
    QString m_output;
    std::size_t m_size;
    bool m_valid = false;
};

struct Receivers {
    Knee plain;
    Knee sendrel;
    Knee socat;
    bool senderLimited = false;
};

// Every receiver at one rate after another, until each lost datagrams or the sender could not
// keep up; a receiver that lost is not tried faster.
Receivers rise(const Figures &figures, std::size_t size, PlainUdpReceiver &plain,
               PipedReceiver &sendrel, std::uint16_t sendrelPort, PipedReceiver *socat,
               std::uint16_t socatPort) {
    Receivers knees;
    std::int64_t sendrelBefore = 0;
    std::int64_t socatBefore = 0;
    const QString suffix = QStringLiteral(" (%1 B)").arg(size);
    for (const int rate : UdpRates) {
        if (knees.plain.firstLoss == 0) {
            const std::int64_t before = plain.received();
            const Burst burst = sendAtRate(plain.port(), rate, size, StepDuration);
            for (std::int64_t last = -1; plain.received() != last;) {
                last = plain.received();
                std::this_thread::sleep_for(300ms);
            }
            if (!reportStep(figures, QStringLiteral("recvmmsg") + suffix, rate, burst,
                            plain.received() - before, knees.plain))
                return knees.senderLimited = true, knees;
        }
        if (knees.sendrel.firstLoss == 0) {
            const Burst burst = sendAtRate(sendrelPort, rate, size, StepDuration);
            const std::int64_t now = sendrel.settled();
            if (!reportStep(figures, QStringLiteral("sendrel --headless --log") + suffix, rate,
                            burst, now - std::exchange(sendrelBefore, now), knees.sendrel))
                return knees.senderLimited = true, knees;
        }
        if (socat && knees.socat.firstLoss == 0) {
            const Burst burst = sendAtRate(socatPort, rate, size, StepDuration);
            const std::int64_t now = socat->settled();
            if (!reportStep(figures, QStringLiteral("socat") + suffix, rate, burst,
                            now - std::exchange(socatBefore, now), knees.socat))
                return knees.senderLimited = true, knees;
        }
        if (knees.plain.firstLoss && knees.sendrel.firstLoss && (!socat || knees.socat.firstLoss))
            break;
    }
    return knees;
}

// Answers to requests that the seventh pair matches, over UDP: as many as come back in a few
// seconds with `inFlight` requests out at a time, and their round trips.
struct Answering {
    double perSecond = 0;
    std::vector<double> roundTripsUs;
};

Answering answer(std::uint16_t port, int inFlight) {
    Answering result;
    const PeerSocket socket = PeerSocket::connectUdp(port);
    if (!socket.valid())
        return result;
    socket.setReceiveTimeout(1000ms);
    const QByteArray request = "READ 7 ASK7\r\n";
    std::vector<std::int64_t> sentAt; // answers come back in order on loopback
    std::size_t answered = 0;
    const auto start = BenchClock::now();
    const auto stop = start + 3s;
    char reply[256];
    while (BenchClock::now() < stop) {
        while (std::int64_t(sentAt.size() - answered) < inFlight) {
            sentAt.push_back(nanosecondsNow());
            ::send(socket.fd(), request.constData(), std::size_t(request.size()), 0);
        }
        if (socket.receive(reply, sizeof reply) <= 0)
            break;
        result.roundTripsUs.push_back(double(nanosecondsNow() - sentAt[answered++]) / 1000.0);
    }
    result.perSecond =
        double(answered) / std::chrono::duration<double>(BenchClock::now() - start).count();
    std::sort(result.roundTripsUs.begin(), result.roundTripsUs.end());
    return result;
}

void respondFigures(const Figures &figures, const QString &sendrel, const ScratchFolder &folder) {
    const std::uint16_t port = freeUdpPort();
    QStringList arguments{QStringLiteral("--headless"), QStringLiteral("--udp"),
                          QStringLiteral("--port"),     QString::number(port),
                          QStringLiteral("--settings"), folder.filePath(QStringLiteral("r.ini"))};
    for (int pair = 1; pair <= 7; ++pair)
        arguments << QStringLiteral("--respond-contains")
                  << QStringLiteral("ASK%1=VALUE %1").arg(pair);
    PipedReceiver ours(sendrel, arguments, folder.filePath(QStringLiteral("respond.bin")), port, 1);
    if (!ours.valid()) {
        figures.info(QStringLiteral("respond"), QStringLiteral("the listener did not bind"));
        return;
    }
    for (const int inFlight : {1, 64}) {
        const Answering run = answer(port, inFlight);
        const auto &trips = run.roundTripsUs;
        figures.info(
            QStringLiteral("respond, 7 pairs, %1 in flight").arg(inFlight),
            QStringLiteral("%1 answers/s, round trip median %2 us, p99 %3 us")
                .arg(Figures::number(run.perSecond, 0))
                .arg(Figures::number(trips.empty() ? 0 : Figures::percentile(trips, 0.5), 0))
                .arg(Figures::number(trips.empty() ? 0 : Figures::percentile(trips, 0.99), 0)));
    }
}

QString ratioText(const Knee &ours, const Knee &theirs) {
    return theirs.lossless > 0 ? Figures::number(double(ours.lossless) / theirs.lossless, 2)
                               : QStringLiteral("-");
}

} // namespace

int runUdpHeadless(const QStringList &) {
    const Figures figures(QStringLiteral("udp_headless"));
    const QString sendrel = QCoreApplication::applicationDirPath() + QStringLiteral("/sendrel");
    const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
    if (socat.isEmpty())
        figures.info(QStringLiteral("socat"), QStringLiteral("not installed, left out"));
    for (const std::size_t size : Sizes) {
        const ScratchFolder folder;
        PlainUdpReceiver plain;
        const std::uint16_t sendrelPort = freeUdpPort();
        const QString logs = folder.filePath(QStringLiteral("logs"));
        PipedReceiver ours(
            sendrel,
            {QStringLiteral("--headless"), QStringLiteral("--udp"), QStringLiteral("--port"),
             QString::number(sendrelPort), QStringLiteral("--settings"),
             folder.filePath(QStringLiteral("none.ini")), QStringLiteral("--log"), logs},
            folder.filePath(QStringLiteral("sendrel.bin")), sendrelPort, size);
        const std::uint16_t socatPort = freeUdpPort();
        std::unique_ptr<PipedReceiver> theirs;
        if (!socat.isEmpty())
            theirs = std::make_unique<PipedReceiver>(
                socat,
                QStringList{QStringLiteral("-u"),
                            QStringLiteral("UDP-RECV:%1,bind=127.0.0.1").arg(socatPort),
                            QStringLiteral("-")},
                folder.filePath(QStringLiteral("socat.bin")), socatPort, size);
        if (!plain.valid() || !ours.valid() || (theirs && !theirs->valid())) {
            figures.info(QStringLiteral("setup"), QStringLiteral("a receiver did not bind"));
            return 2;
        }
        const Receivers knees =
            rise(figures, size, plain, ours, sendrelPort, theirs.get(), socatPort);
        const QString suffix = QStringLiteral(" (%1 B)").arg(size);
        figures.info(QStringLiteral("knee of recvmmsg") + suffix,
                     knees.plain.text(knees.senderLimited));
        figures.info(QStringLiteral("knee of sendrel") + suffix,
                     knees.sendrel.text(knees.senderLimited));
        if (theirs)
            figures.info(QStringLiteral("knee of socat") + suffix,
                         knees.socat.text(knees.senderLimited));
        figures.target(QStringLiteral("lossless rate against recvmmsg") + suffix,
                       QStringLiteral("%1/s, %2 x")
                           .arg(knees.sendrel.lossless)
                           .arg(ratioText(knees.sendrel, knees.plain)),
                       knees.plain.lossless > 0
                           && 10 * knees.sendrel.lossless >= 8 * knees.plain.lossless,
                       QStringLiteral(">= 0.8 x"));
        if (theirs)
            figures.target(QStringLiteral("lossless rate against socat") + suffix,
                           QStringLiteral("%1 x").arg(ratioText(knees.sendrel, knees.socat)),
                           knees.sendrel.lossless >= knees.socat.lossless,
                           QStringLiteral(">= 1.0 x"));

        const std::int64_t written = ours.settled();
        const QStringList files = QDir(logs).entryList(QDir::Files);
        logEntriesTarget(figures, QStringLiteral("log entries") + suffix,
                         files.size() == 1 ? QDir(logs).filePath(files.first()) : QString(), size,
                         written, QStringLiteral("written out"));
    }
    respondFigures(figures, sendrel, ScratchFolder());
    return 0;
}
