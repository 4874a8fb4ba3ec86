// A saved sequence of request/reply exchanges against a headless responder on loopback, beside
// the same messages sent by one --send process each: exchanges per second and the p99 latency
// of one exchange (a send and the expect that reads its reply).
#include "benchmarks.h"
#include "figures.h"
#include "scratch.h"

#include "sender/sequence_run.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

constexpr int Exchanges = 1000;
constexpr int ProcessSends = 20;

quint16 freePort() {
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

QString sendrelPath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/sendrel");
}

// Runs the sequence in this process; the time of each exchange in ms, empty when it failed.
std::vector<double> runSequence(quint16 port, const Figures &figures, double &seconds) {
    PacketEntry request;
    request.name = QStringLiteral("req");
    request.data = QStringLiteral("req %SEQ%%CRLF%");
    request.to = {PacketTarget::Kind::Tcp, QStringLiteral("127.0.0.1"), port};
    PacketEntry sequence;
    sequence.name = QStringLiteral("bench");
    SequenceStep send;
    send.packet = request.name;
    SequenceStep expect;
    expect.kind = SequenceStep::Kind::Expect;
    expect.mode = MatchMode::Regex;
    expect.text = QStringLiteral("rep (\\d+)");
    expect.ms = 5000;
    sequence.steps = {send, expect};
    sequence.repeat = Exchanges;
    QHash<QString, qint64> counters;
    SequenceRun run(
        {sequence,
         [&request](const QString &name) { return name == request.name ? &request : nullptr; },
         std::nullopt,
         {},
         &counters,
         nullptr});
    std::vector<qint64> starts;
    QElapsedTimer clock;
    QObject::connect(&run, &SequenceRun::stepStarted, [&](int step, int, const QString &) {
        if (step == 0)
            starts.push_back(clock.nsecsElapsed());
    });
    QEventLoop loop;
    bool passed = false;
    QObject::connect(&run, &SequenceRun::finished, [&](bool ok, const QString &result) {
        passed = ok;
        if (!ok)
            figures.info(QStringLiteral("sequence failed"), result);
        loop.quit();
    });
    clock.start();
    QTimer::singleShot(0, &run, [&run] { run.start(); });
    loop.exec();
    const qint64 end = clock.nsecsElapsed();
    seconds = double(end) / 1e9;
    std::vector<double> times;
    if (!passed)
        return times;
    starts.push_back(end);
    for (std::size_t i = 1; i < starts.size(); ++i)
        times.push_back(double(starts[i] - starts[i - 1]) / 1e6);
    std::sort(times.begin(), times.end());
    return times;
}

} // namespace

int runSequenceBench(const QStringList & /*arguments*/) {
    const Figures figures(QStringLiteral("sequence"));
    ScratchFolder scratch;
    const quint16 port = freePort();
    if (!scratch.valid() || port == 0)
        return 2;
    QProcess responder;
    responder.setWorkingDirectory(scratch.path());
    responder.start(sendrelPath(),
                    {QStringLiteral("--headless"), QStringLiteral("--tcp"),
                     QStringLiteral("--port"), QString::number(port), QStringLiteral("--quiet"),
                     QStringLiteral("--settings"), scratch.filePath(QStringLiteral("none.ini")),
                     QStringLiteral("--respond-regex"), QStringLiteral("req (\\d+)=rep %1")});
    if (!responder.waitForStarted())
        return 2;
    QThread::msleep(500); // until it listens

    double seconds = 0;
    const std::vector<double> times = runSequence(port, figures, seconds);
    if (times.empty()) {
        responder.kill();
        return 2;
    }
    figures.info(QStringLiteral("sequence exchanges"), QString::number(times.size()));
    figures.info(QStringLiteral("sequence exchanges per second"),
                 Figures::number(double(times.size()) / seconds, 0));
    figures.info(QStringLiteral("sequence steps per second"),
                 Figures::number(2 * double(times.size()) / seconds, 0));
    figures.info(QStringLiteral("sequence exchange p50/p99"),
                 Figures::number(Figures::percentile(times, 0.5), 3) + QStringLiteral(" / ")
                     + Figures::number(Figures::percentile(times, 0.99), 3)
                     + QStringLiteral(" ms"));

    // The same messages, one process each.
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    for (int i = 0; i < ProcessSends; ++i) {
        QProcess send;
        send.setWorkingDirectory(scratch.path());
        send.start(sendrelPath(), {QStringLiteral("--send"), QStringLiteral("req %1").arg(i),
                                   QStringLiteral("--to"), QStringLiteral("127.0.0.1:%1").arg(port),
                                   QStringLiteral("--quiet"), QStringLiteral("--settings"),
                                   scratch.filePath(QStringLiteral("none.ini"))});
        if (send.waitForFinished(30000) && send.exitCode() == 0)
            ++sent;
        else
            figures.info(QStringLiteral("--send failed"),
                         QString::fromUtf8(send.readAllStandardError()).trimmed());
    }
    const double perMessage = double(clock.nsecsElapsed()) / 1e6 / ProcessSends;
    figures.info(QStringLiteral("--send process per message"),
                 Figures::number(perMessage, 1)
                     + QStringLiteral(" ms (%1 of %2 sent)").arg(sent).arg(ProcessSends));
    const double sequenceMean = seconds * 1000 / double(times.size());
    figures.target(QStringLiteral("sequence faster per message than a process each"),
                   Figures::number(perMessage / sequenceMean, 0) + QStringLiteral(" times"),
                   perMessage > sequenceMean, QStringLiteral("> 1 time"));
    responder.kill();
    responder.waitForFinished();
    return 0;
}
