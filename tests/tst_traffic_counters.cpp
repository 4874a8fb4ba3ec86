// The traffic counters as the listener's peers drive them, through the program without a window.
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "support/loopback.h"
#include "support/program_fixture.h"

#include <QTcpSocket>
#include <QTest>

class tst_TrafficCounters : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramFixture> m_f;

    Form &c() { return m_f->form(); }
    TrafficSnapshot now() { return m_f->program().traffic().snapshot(); }

private slots:
    void init() { m_f = std::make_unique<ProgramFixture>(); }
    void cleanup() { m_f.reset(); }

    // Two chunks from the peer, one of them answered and both logged; a second peer refused with
    // its address; Reset keeps only the connection time.
    void tcp_peersCounted() {
        const quint16 port = startListener(c(), true);
        answerPingWithPong(c());
        c().chkLogData.setValue(1);
        c().txtLogPath.setText(m_f->folder());
        QVERIFY(!now().connectedSince.isValid());

        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        peer.write("ping");
        QTRY_COMPARE(peer.bytesAvailable(), 6);
        QCOMPARE(peer.readAll(), QByteArray("pong\r\n"));
        QVERIFY(now().connectedSince.isValid());
        peer.write("hello, world");
        QTRY_COMPARE(now().receivedChunks, 2);

        QTcpSocket second;
        QVERIFY(second.bind(QHostAddress::LocalHost, 0));
        const quint16 secondPort = second.localPort();
        second.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(now().refused, 1);

        TrafficSnapshot s = now();
        QCOMPARE(s.receivedBytes, qint64(16));
        QCOMPARE(s.sentReplyBytes, qint64(6));
        QCOMPARE(s.pairAnswers, (std::array<qint64, 7>{1, 0, 0, 0, 0, 0, 0}));
        QCOMPARE(s.logWritten, 2);
        QCOMPARE(s.logFailed, 0);
        QCOMPARE(s.lastRefused, QStringLiteral("127.0.0.1:%1").arg(secondPort));
        QTRY_VERIFY(now().peakRate > 0);
        const QString line = trafficLine(now());
        QVERIFY2(line.contains(QStringLiteral(" received_bytes=16 received_chunks=2 ")),
                 qPrintable(line));
        QVERIFY(
            line.contains(QStringLiteral(" refused_while_connected=1 last_refused=127.0.0.1:%1 ")
                              .arg(secondPort)));
        // The peak outlives the traffic: a second with nothing received leaves it as it was.
        const qint64 peak = now().peakRate;
        QTRY_COMPARE(now().rate, 0);
        QVERIFY(now().peakRate >= peak);

        m_f->program().traffic().reset();
        s = now();
        QVERIFY(s.connectedSince.isValid());
        QCOMPARE(trafficLine(s).section(u' ', 1), trafficLine(TrafficSnapshot{}).section(u' ', 1));
        c().btnDisconnect.Click();
        QVERIFY(!now().connectedSince.isValid());
    }

    // The 404 goes out counted as HTTP bytes, exactly what the peer receives; a log entry that
    // cannot be written counts as failed.
    void http_replyAndFailedLog() {
        c().optReceiveType[1]->setValue(1);
        c().chkLogData.setValue(1);
        c().txtLogPath.setText(QString());
        const quint16 port = startListener(c(), true);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        peer.write("GET / HTTP/1.0\r\n\r\n");
        QByteArray reply;
        QTRY_VERIFY((reply += peer.readAll(), peer.state() == QAbstractSocket::UnconnectedState));
        reply += peer.readAll();
        QVERIFY(reply.startsWith("HTTP/1.0 404"));
        QCOMPARE(now().sentHttpBytes, reply.size());
        QCOMPARE(now().logFailed, 1);
    }
};

QTEST_GUILESS_MAIN(tst_TrafficCounters)
#include "tst_traffic_counters.moc"
