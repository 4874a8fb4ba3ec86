// The relay's named faults on loopback through the whole program: a fault started by a watch,
// the ends of a TCP pair a fault brings about, toxicity over many pairs, and what the status
// line, the counters and a capture say.
#include "listener/listener.h"
#include "listener/relay.h"
#include "listener/relay_pair.h"
#include "program/status_texts.h"
#include "support/fault_lines.h"
#include "support/loopback.h"
#include "support/program_fixture.h"
#include "support/relay_targets.h"
#include "support/tshark.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A raw client, to see how its connection ended: -1 while open, 0 at an orderly end, else errno.
struct RawClient {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    explicit RawClient(quint16 port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    }
    ~RawClient() { ::close(fd); }
    // The system tells an error once; the first ending seen is kept.
    int ending() {
        char byte = 0;
        const ssize_t got = seen < 0 ? ::recv(fd, &byte, 1, MSG_DONTWAIT) : 1;
        if (got == 0)
            seen = 0;
        else if (got < 0 && errno != EAGAIN)
            seen = errno;
        return seen;
    }
    int seen = -1;
};

} // namespace

class TestNamedFaults : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ProgramFixture> f;
    QStringList notes;
    qint64 acts(const QString &name) {
        return f->program().traffic().snapshot().faultActs.value(name);
    }
    quint16 relayTo(quint16 targetPort, bool tcp, const QList<Fault> &faults) {
        RelayOptions options;
        options.targetHost = QStringLiteral("127.0.0.1");
        options.targetPort = targetPort;
        options.faults = faults;
        f->program().configuration().setRelay(options);
        return startListener(f->form(), tcp);
    }

private slots:
    void init() {
        f = std::make_unique<ProgramFixture>();
        notes.clear();
        connect(&f->program().relay(), &Relay::note, this,
                [this](const QString &text) { notes.append(text); });
    }
    void cleanup() { f.reset(); }

    // Nothing is lost before the watch matches, the matching datagram itself passes, and of the
    // 10,000 after it about 30 % are lost, each counted; the first loss is noted once.
    void udpLossAfterTheMatch() {
        DatagramTarget target;
        const quint16 port = relayTo(target.socket.localPort(), false,
                                     {faultOf(u"name=lossy type=loss stream=upstream percent=30 "
                                              "after=contains:LOGIN OK"_qs)});
        QUdpSocket client;
        const auto send = [&](const QByteArray &data) {
            client.writeDatagram(data, QHostAddress::LocalHost, port);
        };
        QList<QByteArray> before;
        for (int i = 0; i < 20; ++i)
            before.append("before " + QByteArray::number(i));
        before.append("a LOGIN OK b");
        for (const QByteArray &data : std::as_const(before)) {
            send(data);
            QTRY_COMPARE(target.got.value(target.got.size() - 1), data);
        }
        constexpr int After = 10000;
        const auto relayed = [this] { return f->program().traffic().snapshot().relayUpChunks; };
        for (int i = 0; i < After; ++i) {
            send(QByteArray::number(i));
            if (i % 50 == 49) // never more at once than the system surely keeps
                QTRY_COMPARE(relayed(), i + 1 + before.size());
        }
        QTRY_COMPARE(target.got.size() - before.size() + acts(u"lossy"_qs), After);
        QVERIFY2(std::abs(acts(u"lossy"_qs) - 3000) < 300,
                 qPrintable(QString::number(acts(u"lossy"_qs))));
        QCOMPARE(notes.filter(u"the fault lossy acts (up, loss 30 %)"_qs).size(), 1);
        QVERIFY(listenerLine(f->program().listener().state())
                    .endsWith(u" (lossy up: loss 30 % after a match)"_qs));
        QVERIFY(trafficLine(f->program().traffic().snapshot())
                    .contains(u" fault_lossy=%1"_qs.arg(acts(u"lossy"_qs))));
    }

    // How a fault ends a pair, as the client sees it, and the note that says so.
    void tcpEnds_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("ending"); // errno, or 0 for an orderly end
        QTest::addColumn<QString>("note");
        QTest::addColumn<int>("acts");
        QTest::newRow("reset") << "name=rst type=reset_peer timeout=100" << ECONNRESET
                               << "reset by the fault rst (reset after 100 ms)" << 1;
        // The chunk it held, and the close.
        QTest::newRow("timeout") << "name=t type=timeout timeout=100" << 0
                                 << "closed by the fault t (timeout 100 ms)" << 2;
        QTest::newRow("limit") << "name=cap type=limit_data bytes=3" << 0
                               << "closed by the fault cap (limit 3 bytes)" << 1;
        // The next peer kept out.
        QTest::newRow("down") << "name=off type=down" << 0
                              << "every pair closed: the relay is down by a fault" << 1;
    }
    void tcpEnds() {
        QFETCH(QString, line);
        QFETCH(int, ending);
        QFETCH(QString, note);
        QFETCH(int, acts);
        StreamTarget target;
        Fault fault = faultOf(line + u" stream=upstream"_qs);
        const bool down = fault.kind == FaultKind::Down;
        fault.enabled = !down; // down is switched on while a pair is open
        const quint16 port = relayTo(target.server.serverPort(), true, {fault});
        RawClient client(port);
        QTRY_VERIFY(target.peer);
        QCOMPARE(::send(client.fd, "12345", 5, 0), 5);
        if (down) {
            QTRY_COMPARE(target.got, QByteArray("12345"));
            RelayOptions options = f->program().configuration().relay();
            options.faults[0].enabled = true;
            f->program().configuration().setRelay(options);
        }
        QTRY_VERIFY(client.ending() >= 0);
        QCOMPARE(client.ending(), ending);
        QTRY_COMPARE(notes.filter(note).size(), 1);
        if (fault.kind == FaultKind::LimitData)
            QTRY_COMPARE(target.got, QByteArray("123"));
        if (down) { // and a new peer is not taken up
            RawClient next(port);
            QTRY_VERIFY(next.ending() >= 0);
        }
        QTRY_COMPARE(this->acts(fault.name), acts);
    }

    // A timeout over UDP drops what comes and lets the mapping go after its time; the datagram
    // it dropped is counted even though the mapping went before the counts were told.
    void udpTimeoutLetsTheMappingGo() {
        DatagramTarget target;
        const quint16 port =
            relayTo(target.socket.localPort(), false,
                    {faultOf(u"name=t type=timeout stream=upstream timeout=100"_qs)});
        QUdpSocket client;
        client.writeDatagram("lost", QHostAddress::LocalHost, port);
        QTRY_COMPARE(notes.filter(u"let go by the fault t (timeout 100 ms)"_qs).size(), 1);
        QTRY_COMPARE(acts(u"t"_qs), 2);
        QVERIFY(target.got.isEmpty());
        QCOMPARE(f->program().relay().pairsOpen(), 0);
    }

    // A close waits for the slow close's delay; the bytes before it go at once.
    void slowClose() {
        StreamTarget target;
        const quint16 port =
            relayTo(target.server.serverPort(), true,
                    {faultOf(u"name=slow type=slow_close stream=upstream delay=300"_qs)});
        RawClient client(port);
        QTRY_VERIFY(target.peer);
        QCOMPARE(::send(client.fd, "bye", 3, 0), 3);
        QTRY_COMPARE(target.got, QByteArray("bye"));
        QElapsedTimer since;
        since.start();
        ::shutdown(client.fd, SHUT_WR);
        QTRY_VERIFY(target.ended);
        QVERIFY(since.elapsed() >= 290);
        QTRY_COMPARE(acts(u"slow"_qs), 1);
    }

    // Bytes that wait only for a latency do not hold the sender back until they pass their own
    // bound, over the bound of what else waits; then the pair is read no more, and once the
    // latency is taken away everything arrives.
    void delayedBytesBounded() {
        StreamTarget target;
        const quint16 port =
            relayTo(target.server.serverPort(), true,
                    {faultOf(u"name=far type=latency stream=upstream latency=60000"_qs)});
        const QByteArray bytes(20 << 20, 'l');
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        client.write(bytes);
        const auto read = [this] { return f->program().traffic().snapshot().relayUpBytes; };
        qint64 paused = -1;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const qint64 before = read();
                QTest::qWait(300);
                paused = read();
                return paused == before && paused > RelayPair::WaitingBound;
            },
            30000));
        const qint64 bound = RelayPair::DelayedBound + RelayPair::WaitingBound;
        QVERIFY2(paused >= bound && paused <= bound + (1 << 20),
                 qPrintable(QString::number(paused)));
        QVERIFY(target.got.isEmpty());
        RelayOptions options = f->program().configuration().relay();
        options.faults.clear();
        f->program().configuration().setRelay(options);
        QTRY_COMPARE_WITH_TIMEOUT(target.got.size(), bytes.size(), 30000);
        QCOMPARE(target.got, bytes);
    }

    // Over 1,000 pairs a fault of toxicity 0.3 acts on about 300 (within 4.5 standard
    // deviations), each pair drawn once.
    void toxicityOverPairs() {
        QTcpServer target;
        QVERIFY(target.listen(QHostAddress::LocalHost, 0));
        connect(&target, &QTcpServer::newConnection, this, [&target] {
            while (QTcpSocket *peer = target.nextPendingConnection())
                peer->deleteLater();
        });
        const quint16 port =
            relayTo(target.serverPort(), true,
                    {faultOf(u"name=rst type=reset_peer toxicity=0.3 timeout=0"_qs)});
        const Relay &relay = f->program().relay();
        for (int batch = 0; batch < 20; ++batch) {
            std::vector<std::unique_ptr<RawClient>> clients;
            const auto resets = [this] {
                return notes.filter(u"reset by the fault rst"_qs).size();
            };
            const qsizetype resetBefore = resets();
            for (int i = 0; i < 50; ++i)
                clients.push_back(std::make_unique<RawClient>(port));
            QTRY_COMPARE(relay.pairsOpen() + (resets() - resetBefore), 50);
            clients.clear();
            QTRY_COMPARE(relay.pairsOpen(), 0);
        }
        QTRY_COMPARE(acts(u"rst"_qs), notes.filter(u"reset by the fault rst"_qs).size());
        QVERIFY2(std::abs(acts(u"rst"_qs) - 300) < 65,
                 qPrintable(QString::number(acts(u"rst"_qs))));
    }

    // A capture's packet and the chunk's log entry say what the faults do to it.
    void captureComment() {
        if (!hasTshark())
            QSKIP("tshark is not installed");
        DatagramTarget target;
        const QString file = f->folder() + u"/faults.pcapng"_qs;
        QCOMPARE(f->program().startCapture(file), QString());
        const QString logs = f->folder() + u"/logs/"_qs;
        f->form().chkLogData.setValue(1);
        f->form().txtLogPath.setText(logs);
        const quint16 port =
            relayTo(target.socket.localPort(), false,
                    {faultOf(u"name=lat type=latency stream=upstream latency=20"_qs),
                     faultOf(u"name=twice type=duplicate stream=upstream percent=100"_qs)});
        QUdpSocket client;
        client.writeDatagram("hi", QHostAddress::LocalHost, port);
        QTRY_COMPARE(target.got.size(), 2);
        QCOMPARE(target.got, QList<QByteArray>({"hi", "hi"}));
        QTRY_COMPARE(f->program().traffic().snapshot().relayDownChunks, 2);
        const QStringList comments = tsharkFields(file, {u"frame.comment"_qs});
        QCOMPARE(comments.value(0), u"lat: latency 20 ms; twice: duplicated"_qs);
        QCOMPARE(comments.value(1), QString());
        const QStringList written = QDir(logs).entryList(QDir::Files);
        QFile log(logs + written.value(0));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(
            log.readAll().contains(u" -> 127.0.0.1:%1 (lat: latency 20 ms; twice: duplicated) -"_qs
                                       .arg(target.socket.localPort())
                                       .toUtf8()));
    }
};

QTEST_GUILESS_MAIN(TestNamedFaults)
#include "tst_named_faults.moc"
