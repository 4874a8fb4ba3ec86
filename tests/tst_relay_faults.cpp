// A relayed link bent on purpose (delay, drop, rate, cut), and a pair held back by what waits.
#include "listener/relay.h"
#include "listener/relay_pair.h"
#include "support/loopback.h"
#include "support/program_fixture.h"
#include "support/relay_targets.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <memory>
#include <sys/socket.h>

class TestRelayFaults : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ProgramFixture> f;
    TrafficSnapshot counted() { return f->program().traffic().snapshot(); }
    quint16 relayTo(quint16 targetPort, bool tcp, const LinkFaults &up,
                    const LinkFaults &down = {}) {
        RelayOptions options;
        options.targetHost = QStringLiteral("127.0.0.1");
        options.targetPort = targetPort;
        options.up = up;
        options.down = down;
        f->program().configuration().setRelay(options);
        return startListener(f->form(), tcp);
    }

private slots:
    void init() { f = std::make_unique<ProgramFixture>(); }
    void cleanup() { f.reset(); }

    void delay_data() {
        QTest::addColumn<int>("least");
        QTest::addColumn<int>("most");
        QTest::addColumn<int>("longestAtLeast"); // of the twenty, surely
        QTest::newRow("200 ms") << 200 << 200 << 200;
        QTest::newRow("0-300 ms") << 0 << 300 << 100;
    }
    // Each datagram is held back by its delay, and none overtakes an earlier one.
    void delay() {
        QFETCH(int, least);
        QFETCH(int, most);
        QFETCH(int, longestAtLeast);
        DatagramTarget target;
        LinkFaults up;
        up.delayMinMs = least;
        up.delayMaxMs = most;
        const quint16 port = relayTo(target.socket.localPort(), false, up);
        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress::LocalHost, 0));
        QList<QByteArray> sent;
        QList<qint64> sentAt;
        for (int i = 0; i < 20; ++i) {
            sent.append(QByteArray::number(i));
            sentAt.append(target.clock.elapsed());
            client.writeDatagram(sent.constLast(), QHostAddress::LocalHost, port);
        }
        QTRY_COMPARE_WITH_TIMEOUT(target.got.size(), sent.size(), 20000);
        QCOMPARE(target.got, sent);
        qint64 longest = 0;
        for (qsizetype i = 0; i < sent.size(); ++i) {
            const qint64 held = target.at[i] - sentAt[i];
            QVERIFY2(held >= least - 2, qPrintable(QString::number(held)));
            longest = std::max(longest, held);
        }
        QVERIFY2(longest >= longestAtLeast - 2, qPrintable(QString::number(longest)));
    }

    void dropAll_data() {
        QTest::addColumn<bool>("up");
        QTest::newRow("up") << true;
        QTest::newRow("down") << false;
    }
    // 100 % drop passes nothing on that way and counts every datagram it took.
    void dropAll() {
        QFETCH(bool, up);
        DatagramTarget target;
        LinkFaults all;
        all.dropPercent = 100;
        const quint16 port = up ? relayTo(target.socket.localPort(), false, all)
                                : relayTo(target.socket.localPort(), false, {}, all);
        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress::LocalHost, 0));
        int back = 0;
        connect(&client, &QUdpSocket::readyRead, this, [&] {
            while (client.hasPendingDatagrams())
                back += client.receiveDatagram().isValid();
        });
        for (int i = 0; i < 10; ++i)
            client.writeDatagram("lost", QHostAddress::LocalHost, port);
        QTRY_COMPARE_WITH_TIMEOUT(counted().relayDropped, 10, 20000);
        QTest::qWait(300);
        QCOMPARE(target.got.size(), up ? 0 : 10);
        QCOMPARE(back, 0);
        QCOMPARE(counted().relayDropped, 10);
    }

    void rateCap_data() {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("TCP, 100 kB at once") << true;
        QTest::newRow("UDP, 100 datagrams of 1000 B") << false;
    }
    // 20,000 B/s lets 100 kB through in about five seconds, never in much less, even after a
    // quiet while.
    void rateCap() {
        QFETCH(bool, tcp);
        LinkFaults up;
        up.ratePerSecond = 20000;
        StreamTarget stream;
        DatagramTarget datagrams;
        QElapsedTimer clock;
        qint64 lastAt = 0;
        qsizetype total = 0;
        const auto arrived = [&] {
            const qsizetype now = tcp ? stream.got.size() : datagrams.got.join(QByteArray()).size();
            if (now != total)
                lastAt = clock.elapsed(), total = now;
            return total;
        };
        const quint16 port =
            relayTo(tcp ? stream.server.serverPort() : datagrams.socket.localPort(), tcp, up);
        QTcpSocket client;
        QUdpSocket udp;
        if (tcp) {
            client.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(client.waitForConnected(5000));
            QTRY_VERIFY(stream.peer);
        }
        const auto send = [&](int thousands) {
            if (tcp)
                client.write(QByteArray(thousands * 1000, 'r'));
            for (int i = 0; i < thousands && !tcp; ++i)
                udp.writeDatagram(QByteArray(1000, 'r'), QHostAddress::LocalHost, port);
        };
        clock.start();
        send(1);
        QTRY_COMPARE(arrived(), 1000);
        // Quiet for a while: no burst of more than a twentieth of a second's worth after it.
        QTest::qWait(3500);
        clock.restart();
        send(99);
        QTRY_COMPARE_WITH_TIMEOUT(arrived(), 100000, 30000);
        QVERIFY2(lastAt >= 4000, qPrintable(QString::number(lastAt)));
    }

    void cutExactly_data() {
        QTest::addColumn<bool>("up");
        QTest::addColumn<int>("sent");
        QTest::addColumn<bool>("cut");
        QTest::newRow("up, exactly the count") << true << 10 << true;
        QTest::newRow("up, one short") << true << 9 << false;
        QTest::newRow("down, exactly the count") << false << 10 << true;
    }
    // "Cut after N" passes N bytes and then closes the pair, at N itself, not one byte later.
    void cutExactly() {
        QFETCH(bool, up);
        QFETCH(int, sent);
        QFETCH(bool, cut);
        StreamTarget target;
        LinkFaults faults;
        faults.cutAfter = 10;
        const quint16 port = up ? relayTo(target.server.serverPort(), true, faults)
                                : relayTo(target.server.serverPort(), true, {}, faults);
        QTcpSocket client;
        QByteArray got;
        connect(&client, &QTcpSocket::readyRead, this, [&] { got += client.readAll(); });
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        QTRY_VERIFY(target.peer);
        const QByteArray bytes = QByteArray("0123456789").left(sent);
        if (up)
            client.write(bytes);
        else
            target.peer->write(bytes);
        QTRY_COMPARE(up ? target.got : got, bytes);
        if (cut) {
            QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
            QTRY_VERIFY(f->form().txtNetData.text().contains(
                QStringLiteral("cut after 10 bytes %1 127.0.0.1:").arg(up ? "to" : "from")));
        } else {
            QTest::qWait(500);
            QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        }
    }

    // A client's half-close waits for what it sent before: the target has the request first.
    void halfCloseAfterDelayedRequest() {
        StreamTarget target;
        LinkFaults up;
        up.delayMinMs = up.delayMaxMs = 200;
        const quint16 port = relayTo(target.server.serverPort(), true, up);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        client.write("request");
        client.flush();
        ::shutdown(int(client.socketDescriptor()), SHUT_WR);
        QTRY_VERIFY_WITH_TIMEOUT(target.ended, 10000);
        QCOMPARE(target.whole, QByteArray("request"));
    }

    // A side held back by what waits for the other is read again only once that has fallen to
    // half the bound: not while more waits, however long it has been draining.
    void pausedSide_readAgainOnlyAtHalfTheBound() {
        StreamTarget target;
        LinkFaults up;
        up.ratePerSecond = 200 << 10;
        const quint16 port = relayTo(target.server.serverPort(), true, up);
        const QByteArray bytes(3 << 20, 'u');
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        client.write(bytes);
        qint64 paused = -1;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const qint64 before = counted().relayUpBytes;
                QTest::qWait(500);
                paused = counted().relayUpBytes;
                return paused == before && paused > RelayPair::WaitingBound;
            },
            30000));
        // Still more than half the bound waiting, some time after less than the bound did.
        const qint64 stillWaiting = RelayPair::WaitingBound * 2 / 3;
        QTRY_VERIFY_WITH_TIMEOUT(paused - target.got.size() <= stillWaiting, 30000);
        QCOMPARE(counted().relayUpBytes, paused);
        RelayOptions options = f->program().configuration().relay();
        options.up = {};
        f->program().configuration().setRelay(options);
        QTRY_COMPARE_WITH_TIMEOUT(target.got.size(), bytes.size(), 30000);
        QCOMPARE(target.got, bytes);
    }
};

QTEST_GUILESS_MAIN(TestRelayFaults)
#include "tst_relay_faults.moc"
