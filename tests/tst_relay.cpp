#include "listener/listener.h"
#include "listener/relay.h"
#include "log/pcapng_writer.h"
#include "model/received_data.h"
#include "net/certificate_files.h"
#include "net/relay_stream.h"
#include "net/tls_options.h"
#include "program/status_texts.h"
#include "support/loopback.h"
#include "support/program_fixture.h"
#include "support/random_bytes.h"
#include "support/tshark.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSignalSpy>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <memory>
#include <sys/socket.h>

namespace {

// The target: every connection's bytes gathered; `answer` is what each connection is sent at once.
struct Target {
    QTcpServer server;
    QList<QTcpSocket *> peers;
    QList<QByteArray> got;
    QByteArray answer;
    explicit Target(QByteArray answerEach = {}) : answer(std::move(answerEach)) {
        server.setMaxPendingConnections(1000);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *peer = server.nextPendingConnection()) {
                const qsizetype index = peers.size();
                peers.append(peer);
                got.append(QByteArray());
                QObject::connect(peer, &QTcpSocket::readyRead, peer,
                                 [this, peer, index] { got[index] += peer->readAll(); });
                if (!answer.isEmpty())
                    peer->write(answer);
            }
        });
    }
};

} // namespace

class TestRelay : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ProgramFixture> f;
    Form &c() { return f->form(); }
    quint16 relayTo(quint16 targetPort, bool tcp) {
        RelayOptions options;
        options.targetHost = QStringLiteral("127.0.0.1");
        options.targetPort = targetPort;
        f->program().configuration().setRelay(options);
        return startListener(c(), tcp);
    }

private slots:
    void init() { f = std::make_unique<ProgramFixture>(); }
    void cleanup() { f.reset(); }

    // Megabytes each way at once arrive unchanged, each way shown with its ends and counted.
    void tcpBothWaysByteExact() {
        const QByteArray down = randomBytes(6 << 20);
        const QByteArray up = randomBytes(5 << 20);
        Target target(down);
        const quint16 port = relayTo(target.server.serverPort(), true);
        QTcpSocket client;
        QByteArray got;
        connect(&client, &QTcpSocket::readyRead, this, [&] { got += client.readAll(); });
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        client.write(up);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), down.size(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(target.got.value(0).size(), up.size(), 30000);
        QCOMPARE(sha(got), sha(down));
        QCOMPARE(sha(target.got.value(0)), sha(up));
        const TrafficSnapshot counted = f->program().traffic().snapshot();
        QCOMPARE(counted.relayUpBytes, up.size());
        QCOMPARE(counted.relayDownBytes, down.size());
        QVERIFY(listenerLine(f->program().listener().state())
                    .endsWith(QStringLiteral(", relaying to 127.0.0.1:%1, 1 pair open")
                                  .arg(target.server.serverPort())));
        c().txtNetData.setShowTimeStamps(true);
        const QString ends = QStringLiteral("127.0.0.1:%1 -> 127.0.0.1:%2")
                                 .arg(client.localPort())
                                 .arg(target.server.serverPort());
        QVERIFY(c().txtNetData.text().contains(ends)
                || c().txtNetData.text().contains(QStringLiteral("127.0.0.1:%1 -> 127.0.0.1:%2")
                                                      .arg(target.server.serverPort())
                                                      .arg(client.localPort())));
    }

    // The client's half-close reaches the target, whose answer still comes back.
    void halfClosePassedOn() {
        Target target;
        const quint16 port = relayTo(target.server.serverPort(), true);
        connect(&target.server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = target.peers.constLast();
            connect(peer, &QTcpSocket::readyRead, peer, [peer, &target] {
                if (target.got.constLast() == "request")
                    peer->write("answer after the end"), peer->flush();
            });
        });
        QTcpSocket client;
        QByteArray got;
        connect(&client, &QTcpSocket::readyRead, this, [&] { got += client.readAll(); });
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        client.write("request");
        client.flush();
        ::shutdown(int(client.socketDescriptor()), SHUT_WR);
        QTRY_COMPARE(got, QByteArray("answer after the end"));
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(f->program().relay().pairsOpen(), 0);
    }

    // 64 pairs at once; the 65th is refused with a note and counted.
    void pairsBounded() {
        Target target;
        const quint16 port = relayTo(target.server.serverPort(), true);
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < Relay::MaxPairs; ++i) {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        QTRY_COMPARE(f->program().relay().pairsOpen(), Relay::MaxPairs);
        QTRY_COMPARE(target.peers.size(), Relay::MaxPairs);
        QTcpSocket refused;
        refused.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(refused.state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(c().txtNetData.text().contains(QStringLiteral("refused: 64 pairs are open")));
        QCOMPARE(f->program().traffic().snapshot().relayRefused, 1);
        QVERIFY(listenerLine(f->program().listener().state()).endsWith(u"64 pairs open"));
        clients.front()->write("still through");
        QTRY_COMPARE(target.got.value(0), QByteArray("still through"));
    }

    // A fault set while a pair runs takes effect on it at once and shows on the status line.
    void cutWhileRunning() {
        Target target;
        const quint16 port = relayTo(target.server.serverPort(), true);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        client.write("hello");
        QTRY_COMPARE(target.got.value(0), QByteArray("hello"));
        RelayOptions options = f->program().configuration().relay();
        options.up.cutAfter = 10;
        f->program().configuration().setRelay(options);
        QVERIFY(listenerLine(f->program().listener().state())
                    .endsWith(u"1 pair open (up: cut after 10 bytes)"));
        client.write("0123456789");
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(target.got.value(0), QByteArray("hello01234"));
        QVERIFY(c().txtNetData.text().contains(u"cut after 10 bytes to 127.0.0.1:"));
    }

    // The relay's keys are written once set, after the others, and read back the same.
    void settingsRoundTrip() {
        RelayOptions options;
        QVERIFY(parseRelayTarget(QStringLiteral("[::1]:5020"), options).isEmpty());
        QVERIFY(parseDelay(QStringLiteral("20-40"), options.up).isEmpty());
        options.down.dropPercent = 5;
        f->program().configuration().setRelay(options);
        f->program().saveSettings();
        QFile file(f->settingsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(
            text.contains("RelayTarget=[::1]:5020\r\nRelayDelayUp=20-40\r\nRelayDropDown=5\r\n"));
        QVERIFY(!text.contains("RelayDropUp"));
        f->reopen();
        QCOMPARE(f->program().configuration().relay(), options);
    }

    // A target that refuses closes the peer, with a note naming both.
    void targetDown() {
        const quint16 closedPort = freeLoopbackPort(true);
        const quint16 port = relayTo(closedPort, true);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        const quint16 clientPort = client.localPort();
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(c().txtNetData.text().contains(
            QStringLiteral("Relay: 127.0.0.1:%1 closed: the target 127.0.0.1:%2 could not be "
                           "reached: 10061")
                .arg(clientPort)
                .arg(closedPort)));
        QCOMPARE(f->program().relay().pairsOpen(), 0);
    }

    // Each UDP client gets the target's answers to its own datagrams, byte for byte.
    void udpMappedPerClient() {
        QUdpSocket target;
        QVERIFY(target.bind(QHostAddress::LocalHost, 0));
        connect(&target, &QUdpSocket::readyRead, this, [&] {
            while (target.hasPendingDatagrams()) {
                QHostAddress from;
                quint16 fromPort = 0;
                QByteArray datagram(target.pendingDatagramSize(), Qt::Uninitialized);
                target.readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
                target.writeDatagram(sha(datagram) + datagram, from, fromPort);
            }
        });
        const quint16 port = relayTo(target.localPort(), false);
        QUdpSocket first;
        QUdpSocket second;
        QByteArray expected[2];
        QByteArray got[2];
        int index = 0;
        for (QUdpSocket *client : {&first, &second}) {
            QVERIFY(client->bind(QHostAddress::LocalHost, 0));
            connect(client, &QUdpSocket::readyRead, this, [client, &got, index] {
                while (client->hasPendingDatagrams())
                    got[index] += client->receiveDatagram().data();
            });
            ++index;
        }
        for (int round = 0; round < 40; ++round) {
            for (int which = 0; which < 2; ++which) {
                const QByteArray datagram = randomBytes(4 * (1 + round * 50 + which));
                expected[which] += sha(datagram) + datagram;
                (which == 0 ? first : second)
                    .writeDatagram(datagram, QHostAddress::LocalHost, port);
            }
            QTRY_COMPARE(got[1].size(), expected[1].size());
        }
        QCOMPARE(got[0], expected[0]);
        QCOMPARE(got[1], expected[1]);
        QCOMPARE(f->program().relay().pairsOpen(), 2);
    }

    // A relayed conversation stays whole in the box, however long its pauses: only what the
    // listener itself gets starts the box afresh. The log marks each chunk with its ends.
    void relayedKeptAcrossPausesAndLoggedWithEnds() {
        QUdpSocket target;
        QVERIFY(target.bind(QHostAddress::LocalHost, 0));
        connect(&target, &QUdpSocket::readyRead, this, [&] {
            while (target.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = target.receiveDatagram();
                target.writeDatagram(datagram.data().toUpper(), datagram.senderAddress(),
                                     quint16(datagram.senderPort()));
            }
        });
        const quint16 port = relayTo(target.localPort(), false);
        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress::LocalHost, 0));
        const QString logs = f->folder() + QStringLiteral("/logs/");
        c().chkLogData.setValue(1);
        c().txtLogPath.setText(logs);
        for (const char *word : {"one", "two"}) {
            f->clock().advance(5000);
            client.writeDatagram(word, QHostAddress::LocalHost, port);
            QTRY_VERIFY(client.hasPendingDatagrams());
            client.receiveDatagram();
        }
        QTRY_COMPARE(c().txtNetData.receivedBytes(), QByteArray("oneONEtwoTWO"));
        QTRY_VERIFY(c().lblStatus[1]->Text().endsWith(QStringLiteral("Remote IP:127.0.0.1")));
        const QStringList written = QDir(logs).entryList(QDir::Files);
        QCOMPARE(written.size(), 1);
        QFile log(logs + written.constFirst());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains(QStringLiteral("127.0.0.1:%1 -> 127.0.0.1:%2")
                                           .arg(target.localPort())
                                           .arg(client.localPort())
                                           .toUtf8()));
    }

    // A relay side as a link: opening until connected, its ends, what it sent, and a connect
    // that is refused failed with the system's reason.
    void sideAsLink() {
        QTcpServer target;
        QVERIFY(target.listen(QHostAddress::LocalHost, 0));
        RelayStream *side =
            RelayStream::connectTo(QHostAddress::LocalHost, target.serverPort(), this);
        const Link &link = *side;
        QCOMPARE(link.phase(), Link::Phase::Opening);
        QSignalSpy connected(side, &RelayStream::connected);
        QTRY_COMPARE(connected.size(), 1);
        QTRY_VERIFY(target.hasPendingConnections());
        QTcpSocket *peer = target.nextPendingConnection();
        QCOMPARE(link.phase(), Link::Phase::Open);
        QCOMPARE(link.farAddress(), QStringLiteral("127.0.0.1"));
        QCOMPARE(link.farPort(), int(target.serverPort()));
        QCOMPARE(link.nearPort(), int(peer->peerPort()));
        QVERIFY(side->send("hello"));
        QTRY_COMPARE(peer->bytesAvailable(), 5);
        QCOMPARE(link.bytesSent(), 5);
        side->close();
        QCOMPARE(link.phase(), Link::Phase::Closed);
        RelayStream *refused =
            RelayStream::connectTo(QHostAddress::LocalHost, freeLoopbackPort(true), this);
        QTRY_COMPARE(refused->phase(), Link::Phase::Failed);
        QVERIFY2(refused->failure().startsWith(u"10061 - "), qPrintable(refused->failure()));
        QVERIFY(!refused->send("x"));
    }

    // An HTTP client through the relay gets the server's page.
    void curlThrough() {
        if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
            QSKIP("curl is not installed");
        const QByteArray body = randomBytes(300000).toBase64();
        Target target;
        connect(&target.server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = target.peers.constLast();
            connect(peer, &QTcpSocket::readyRead, peer, [peer, &body] {
                if (peer->property("answered").toBool())
                    return;
                peer->setProperty("answered", true);
                peer->write("HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
                            + "\r\n\r\n" + body);
                peer->disconnectFromHost();
            });
        });
        const quint16 port = relayTo(target.server.serverPort(), true);
        QProcess curl;
        curl.start(QStringLiteral("curl"),
                   {QStringLiteral("-sS"), QStringLiteral("http://127.0.0.1:%1/x").arg(port)});
        QTRY_COMPARE_WITH_TIMEOUT(curl.state(), QProcess::NotRunning, 20000);
        QCOMPARE(curl.exitCode(), 0);
        QCOMPARE(curl.readAllStandardOutput(), body);
        QVERIFY(target.got.value(0).startsWith("GET /x HTTP/1.1\r\n"));
    }

    // A capture read back by tshark: a packet per chunk with its ends, payload and comment, and
    // sequence numbers that run on per direction. The relay answers "ping" itself.
    void captureReadBack_data() {
        QTest::addColumn<bool>("relay");
        QTest::newRow("listener, answered") << false;
        QTest::newRow("relay, both ways") << true;
    }
    void captureReadBack() {
        QFETCH(bool, relay);
        if (!hasTshark())
            QSKIP("tshark is not installed");
        Target target("down");
        const QString file = f->folder() + QStringLiteral("/capture.pcapng");
        QCOMPARE(f->program().startCapture(file), QString());
        answerPingWithPong(c());
        const quint16 port =
            relay ? relayTo(target.server.serverPort(), true) : startListener(c(), true);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        QByteArray got;
        connect(&client, &QTcpSocket::readyRead, this, [&] { got += client.readAll(); });
        if (relay)
            QTRY_COMPARE(got, QByteArray("down"));
        // Answered in either mode; the relay's target never sees it.
        client.write("ping");
        QTRY_COMPARE(got, QByteArray(relay ? "downpong\r\n" : "pong\r\n"));
        client.write("more");
        if (relay)
            QTRY_COMPARE(target.got.value(0), QByteArray("more"));
        QTRY_COMPARE(f->program().traffic().snapshot().receivedChunks, relay ? 3 : 2);
        const quint16 far = relay ? target.server.serverPort() : port;
        const QString up = QStringLiteral("%1\t%2\t").arg(client.localPort()).arg(far);
        QStringList expected{up + QStringLiteral("1\t70696e67\t"),
                             up + QStringLiteral("5\t6d6f7265\t")};
        expected[0] += QStringLiteral("Answered (watch: ping)");
        if (relay)
            expected.prepend(
                QStringLiteral("%1\t%2\t1\t646f776e\t").arg(far).arg(client.localPort()));
        for (QString &line : expected)
            line += QStringLiteral("\t127.0.0.1");
        QCOMPARE(tsharkFields(file, {u"tcp.srcport"_qs, u"tcp.dstport"_qs, u"tcp.seq"_qs,
                                     u"tcp.payload"_qs, u"frame.comment"_qs, u"ip.src"_qs}),
                 expected);
    }

    // A listener's chunk: its time-stamp line names its peer (and the handshake, for the first
    // of a TLS connection), and the box saved as a capture has it as TCP or UDP on the port it
    // came in on.
    void listenerChunk_timeStampAndSavedCapture_data() {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("TCP over TLS") << true;
        QTest::newRow("UDP") << false;
    }
    void listenerChunk_timeStampAndSavedCapture() {
        QFETCH(bool, tcp);
        if (!hasTshark())
            QSKIP("tshark is not installed");
        const MadeCertificate made = makeSelfSignedCertificate(f->folder(), u"test"_qs);
        TlsOptions tls;
        tls.enabled = tcp;
        tls.certificateFile = made.certificateFile;
        tls.keyFile = made.keyFile;
        f->program().configuration().setTls(tls);
        c().txtNetData.setShowTimeStamps(true);
        const quint16 port = startListener(c(), tcp);
        QSslSocket client;
        QUdpSocket datagrams;
        quint16 from = 0;
        if (tcp) {
            client.setPeerVerifyMode(QSslSocket::VerifyNone);
            client.connectToHostEncrypted(u"127.0.0.1"_qs, port);
            QTRY_VERIFY(client.isEncrypted());
            client.write("hi");
            from = client.localPort();
        } else {
            QVERIFY(datagrams.bind(QHostAddress::LocalHost, 0));
            datagrams.writeDatagram("hi", QHostAddress::LocalHost, port);
            from = datagrams.localPort();
        }
        QTRY_COMPARE(f->program().traffic().snapshot().receivedChunks, 1);
        const QString shown = c().txtNetData.text();
        QVERIFY2(
            shown.contains(u"] 127.0.0.1:%1, 2 bytes%2"_qs.arg(from).arg(tcp ? ", TLSv1." : "\n")),
            qPrintable(shown));
        const QString file = f->folder() + QStringLiteral("/saved.pcapng");
        QFile saved(file);
        QVERIFY(saved.open(QIODevice::WriteOnly));
        saved.write(captureOf(c().txtNetData.entries()));
        saved.close();
        const QString ends = u"%1\t%2"_qs.arg(from).arg(port);
        QCOMPARE(tsharkFields(file, {u"tcp.srcport"_qs, u"tcp.dstport"_qs, u"udp.srcport"_qs,
                                     u"udp.dstport"_qs}),
                 QStringList(tcp ? ends + u"\t\t"_qs : u"\t\t"_qs + ends));
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "tst_relay.moc"
