// TLS: a stream over TLS into `sendrel --headless --tls > file` against
// `socat OPENSSL-LISTEN > file`, interleaved rounds; and handshakes made in this process into the
// secure listener and `openssl s_server` in turns. Every file is in memory.
#include "benchmarks.h"
#include "figures.h"
#include "scratch.h"

#include "net/certificate_files.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

#include <algorithm>
#include <functional>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint64_t DefaultFloodMiB = 256;
constexpr int FloodRounds = 3;
constexpr int DefaultHandshakes = 500;
constexpr int SettleMs = 5;
constexpr int HalfwayMs = 50; // the secure listener reopens at its next 100 ms tick
constexpr double MiB = 1024.0 * 1024.0;

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// User and system CPU seconds of a process, from /proc.
double cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble())
           / double(sysconf(_SC_CLK_TCK));
}

bool listening(quint16 port) {
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *name : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(name));
        table.open(QIODevice::ReadOnly);
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "0A")
                return true;
        }
    }
    return false;
}

bool waitFor(const std::function<bool()> &reached, int ms) {
    QElapsedTimer waited;
    waited.start();
    while (!reached()) {
        if (waited.hasExpired(ms))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        QThread::usleep(500);
    }
    return true;
}

struct Receiver {
    QString name;
    QString command; // %1 port, %2 output file
};

struct Round {
    double mibPerSecond = 0;
    double cpu = 0;
    QString problem;
};

// One stream of `total` bytes, sent by socat, into one receiver.
Round stream(const Receiver &receiver, const QString &folder, std::uint64_t total) {
    const quint16 port = freePort();
    const QString output = folder + QStringLiteral("/received.bin");
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral("/bin/sh"),
                  {QStringLiteral("-c"), receiver.command.arg(port).arg(output)});
    Round round;
    if (!waitFor([port] { return listening(port); }, 10000)) {
        round.problem = receiver.name + QStringLiteral(" did not listen");
        return round;
    }
    QProcess sender;
    sender.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    sender.start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("head -c %1 /dev/zero | socat -u -b 262144 - "
                                              "OPENSSL:127.0.0.1:%2,verify=0")
                                   .arg(total)
                                   .arg(port)});
    const bool whole =
        waitFor([&output, total] { return QFileInfo(output).size() >= qint64(total); }, 600000);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    round.cpu = cpuSeconds(process.processId());
    if (!whole)
        round.problem =
            receiver.name
            + QStringLiteral(" received %1 of %2 bytes").arg(QFileInfo(output).size()).arg(total);
    round.mibPerSecond = double(total) / MiB / seconds;
    sender.waitForFinished(10000);
    process.terminate();
    process.waitForFinished(10000);
    QFile::remove(output);
    return round;
}

} // namespace

int runTlsFlood(const QStringList &arguments) {
    const std::uint64_t mib =
        arguments.value(0).toULongLong() > 0 ? arguments.value(0).toULongLong() : DefaultFloodMiB;
    const std::uint64_t total = mib << 20;
    const Figures figures(QStringLiteral("tls_flood"));
    const QString sendrel = QCoreApplication::applicationDirPath() + QStringLiteral("/sendrel");
    const ScratchFolder memory;
    const MadeCertificate made = makeSelfSignedCertificate(memory.path() + "/cert", "bench");
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty() || !memory.valid()
        || !made.error.isEmpty()) {
        figures.info(QStringLiteral("setup"), QStringLiteral("needs socat, a temporary folder "
                                                             "and a certificate: ")
                                                  + made.error);
        return 2;
    }
    figures.info(QStringLiteral("payload"),
                 QStringLiteral("%1 MiB per run (1 GiB with `tls_flood 1024`), %2 rounds, "
                                "sent by socat OPENSSL; files in %3")
                     .arg(mib)
                     .arg(FloodRounds)
                     .arg(memory.description()));
    const QString identity =
        QStringLiteral("cert=%1,key=%2").arg(made.certificateFile, made.keyFile);
    const Receiver receivers[] = {
        {QStringLiteral("socat"),
         QStringLiteral("exec socat -u -b 262144 OPENSSL-LISTEN:%1,reuseaddr,verify=0,") + identity
             + QStringLiteral(" CREATE:%2")},
        {QStringLiteral("sendrel"),
         QStringLiteral("exec '%1' --headless --settings none.ini --tcp --tls --cert '%2' --key "
                        "'%3' --port %4 > %5")
             .arg(sendrel, made.certificateFile, made.keyFile, QStringLiteral("%1"),
                  QStringLiteral("%2"))},
    };
    std::vector<double> rates[2], cpu[2];
    for (int round = 1; round <= FloodRounds; ++round) {
        QStringList line;
        for (int i = 0; i < 2; ++i) {
            const Round run = stream(receivers[i], memory.path(), total);
            if (!run.problem.isEmpty()) {
                figures.target(QStringLiteral("runs"), run.problem, false,
                               QStringLiteral("every run receives everything"));
                return 0;
            }
            rates[i].push_back(run.mibPerSecond);
            cpu[i].push_back(run.cpu);
            line << QStringLiteral("%1 %2 MiB/s (CPU %3 s)")
                        .arg(receivers[i].name, Figures::number(run.mibPerSecond),
                             Figures::number(run.cpu, 2));
        }
        figures.info(QStringLiteral("round %1").arg(round), line.join(QStringLiteral("; ")));
    }
    for (int i = 0; i < 2; ++i)
        figures.info(QStringLiteral("median ") + receivers[i].name,
                     QStringLiteral("%1 MiB/s, CPU %2 s")
                         .arg(Figures::number(Figures::median(rates[i])),
                              Figures::number(Figures::median(cpu[i]), 2)));
    const double base = Figures::median(rates[0]);
    const double ratio = base > 0 ? Figures::median(rates[1]) / base : 0;
    figures.target(QStringLiteral("throughput ratio (sendrel --tls / socat OPENSSL-LISTEN)"),
                   Figures::number(ratio, 2), ratio >= 1.0, QStringLiteral(">= 1.0"));
    return 0;
}

namespace {

struct HandshakeServer {
    QString name;
    QString program;
    QStringList arguments;
    // The line on stderr that says the server takes a peer again; empty: it always does.
    QByteArray readyLine;
};

struct Handshakes {
    std::vector<double> times; // ms, sorted
    int failed = 0;
    int early = 0;     // refused all the same, while the listener was reopening
    double cpuMs = 0;  // the server's, per handshake
    double paceMs = 0; // from one handshake's start to the next
};

// Each server gets the same work, one connection per handshake: the secure listener, which
// serves one peer at a time, is tried once it has told on stderr that it listens again, so it
// is not also charged for refusing tries this process would make while it reopens.
class ServerUnderTest {
public:
    ServerUnderTest(const HandshakeServer &server, quint16 port, const QString &folder)
        : m_server(server), m_port(port) {
        m_process.setWorkingDirectory(folder);
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process, [this] {
            m_status += m_process.readAllStandardError();
            for (qsizetype end; (end = m_status.indexOf('\n')) >= 0; m_status.remove(0, end + 1))
                m_ready += !m_server.readyLine.isEmpty()
                           && m_status.left(end).endsWith(m_server.readyLine);
        });
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.start(m_server.program, m_server.arguments);
    }
    ~ServerUnderTest() {
        m_process.terminate();
        m_process.waitForFinished(10000);
    }

    bool listening() const {
        const quint16 port = m_port;
        return waitFor([port] { return ::listening(port); }, 10000);
    }
    double cpuMs() const { return cpuSeconds(m_process.processId()) * 1000; }
    // Waits until the server has said `count` times that it takes a peer.
    void awaitReady(int count) {
        if (!m_server.readyLine.isEmpty())
            waitFor([this, count] { return m_ready >= count; }, 10000);
    }

private:
    HandshakeServer m_server;
    quint16 m_port;
    QProcess m_process;
    QByteArray m_status;
    int m_ready = 0;
};

// Milliseconds to the end of one handshake; negative when it did not finish.
double handshakeMs(quint16 port) {
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    QElapsedTimer clock;
    clock.start();
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!client.waitForEncrypted(10000))
        return -1;
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    QCoreApplication::processEvents();
    client.disconnectFromHost();
    if (client.state() != QAbstractSocket::UnconnectedState)
        client.waitForDisconnected(1000);
    return ms;
}

void pause(int ms) {
    waitFor([] { return false; }, ms); // the servers' output is read meanwhile
}

// One handshake into `port`, tried again while the server refuses it.
void handshakeInto(quint16 port, Handshakes &run) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (const double ms = handshakeMs(port); ms >= 0) {
            run.times.push_back(ms);
            return;
        }
        ++run.early;
        pause(5);
    }
    ++run.failed;
}

// The two servers in turns, so that both meet whatever else the machine runs at the same
// moments, and at the same pace: each secure listener's handshake comes a moment after it said
// it is ready (a peer that comes at any moment mostly finds it idle, not still writing the
// status that said so), and openssl's halfway to the listener's next reopen, when the listener
// is idle.
void measure(ServerUnderTest *servers[2], const quint16 ports[2], int count, Handshakes runs[2]) {
    servers[0]->awaitReady(1);
    double cpuBefore[2] = {servers[0]->cpuMs(), servers[1]->cpuMs()};
    QElapsedTimer sinceFirst;
    sinceFirst.start();
    for (int i = 0; i < count; ++i) {
        servers[0]->awaitReady(i + 1);
        pause(SettleMs);
        handshakeInto(ports[0], runs[0]);
        pause(HalfwayMs);
        handshakeInto(ports[1], runs[1]);
    }
    // The last peer's close and the reopen after it belong to the last handshake.
    servers[0]->awaitReady(count + 1);
    for (int s = 0; s < 2; ++s) {
        Handshakes &run = runs[s];
        run.paceMs = double(sinceFirst.elapsed()) / count;
        std::sort(run.times.begin(), run.times.end());
        const double cpu = servers[s]->cpuMs() - cpuBefore[s];
        run.cpuMs = run.times.empty() ? 0 : cpu / double(run.times.size());
    }
}

} // namespace

int runTlsHandshakes(const QStringList &arguments) {
    const int count =
        arguments.value(0).toInt() > 0 ? arguments.value(0).toInt() : DefaultHandshakes;
    const Figures figures(QStringLiteral("tls_handshakes"));
    const QString sendrel = QCoreApplication::applicationDirPath() + QStringLiteral("/sendrel");
    const ScratchFolder memory;
    const MadeCertificate made = makeSelfSignedCertificate(memory.path() + "/cert", "bench");
    if (!made.error.isEmpty() || !memory.valid()) {
        figures.info(QStringLiteral("setup"), made.error);
        return 2;
    }
    figures.info(QStringLiteral("handshakes"),
                 QStringLiteral("%1 into each server from this process, in turns, TLS 1.3, EC "
                                "P-256; the secure listener is tried once it says it has "
                                "reopened after its last peer")
                     .arg(count));
    const quint16 ports[] = {freePort(), freePort()};
    const HandshakeServer servers[] = {
        {QStringLiteral("sendrel"),
         sendrel,
         {QStringLiteral("--headless"), QStringLiteral("--settings"), QStringLiteral("none.ini"),
          QStringLiteral("--tcp"), QStringLiteral("--tls"), QStringLiteral("--cert"),
          made.certificateFile, QStringLiteral("--key"), made.keyFile, QStringLiteral("--port"),
          QString::number(ports[0])},
         "Waiting for TCP data on port " + QByteArray::number(ports[0]) + " over TLS"},
        {QStringLiteral("openssl s_server"),
         QStringLiteral("openssl"),
         {QStringLiteral("s_server"), QStringLiteral("-quiet"), QStringLiteral("-accept"),
          QString::number(ports[1]), QStringLiteral("-cert"), made.certificateFile,
          QStringLiteral("-key"), made.keyFile},
         {}},
    };
    ServerUnderTest sendrelServer(servers[0], ports[0], memory.path());
    ServerUnderTest opensslServer(servers[1], ports[1], memory.path());
    ServerUnderTest *processes[2] = {&sendrelServer, &opensslServer};
    for (int s = 0; s < 2; ++s) {
        if (!processes[s]->listening()) {
            figures.info(servers[s].name, QStringLiteral("did not listen"));
            return 2;
        }
    }
    Handshakes runs[2];
    measure(processes, ports, count, runs);
    for (int s = 0; s < 2; ++s) {
        figures.info(
            servers[s].name,
            QStringLiteral("%1 handshakes (%2 failed, %3 early tries refused): median %4 ms, "
                           "p99 %5 ms, server CPU %6 ms per handshake, one every %7 ms")
                .arg(runs[s].times.size())
                .arg(runs[s].failed)
                .arg(runs[s].early)
                .arg(Figures::number(Figures::median(runs[s].times), 2),
                     Figures::number(Figures::percentile(runs[s].times, 0.99), 2),
                     Figures::number(runs[s].cpuMs, 2), Figures::number(runs[s].paceMs, 0)));
    }
    const double cpuRatio = runs[1].cpuMs > 0 ? runs[0].cpuMs / runs[1].cpuMs : 0;
    const double p99Base = Figures::percentile(runs[1].times, 0.99);
    const double p99Ratio = p99Base > 0 ? Figures::percentile(runs[0].times, 0.99) / p99Base : 0;
    figures.target(QStringLiteral("server CPU per handshake (sendrel --tls / openssl s_server)"),
                   Figures::number(cpuRatio, 2), cpuRatio > 0 && cpuRatio <= 2.0,
                   QStringLiteral("<= 2.0"));
    figures.target(QStringLiteral("handshake p99 (sendrel --tls / openssl s_server)"),
                   Figures::number(p99Ratio, 2), p99Ratio > 0 && p99Ratio <= 2.0,
                   QStringLiteral("<= 2.0"));
    return 0;
}
