#include "net/socket_control.h"
#include "runtime/date_time_text.h"
#include "sender/repeat_send.h"
#include "sender/sender.h"
#include "support/file_bytes.h"
#include "support/loopback.h"
#include "support/program_fixture.h"

#include "sender/send_bytes.h"

#include <QLoggingCategory>
#include <QtNetwork>
#include <QtTest>

// Keeps what arrives, one entry per TCP connection or datagram; over TCP answers "one", then "two".
struct LoopbackPeer {
    explicit LoopbackPeer(bool tcp) {
        QObject::connect(&udp, &QUdpSocket::readyRead, &udp, [this] {
            while (udp.hasPendingDatagrams())
                arrived << udp.receiveDatagram().data();
        });
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            QTcpSocket *peer = server.nextPendingConnection();
            arrived << QByteArray();
            QObject::connect(peer, &QTcpSocket::readyRead, peer, [this, peer] {
                arrived.last() += peer->readAll();
                peer->write("one");
                QTimer::singleShot(100, peer, [peer] { peer->write("two"); });
            });
        });
        tcp ? server.listen(QHostAddress::LocalHost) : udp.bind(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return server.isListening() ? server.serverPort() : udp.localPort(); }

    QList<QByteArray> arrived;
    QTcpServer server;
    QUdpSocket udp;
};

class tst_Sender : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramFixture> m_f;

    Form &c() { return m_f->form(); }

    Sockets sockets() { return m_f->program().sockets(); }
    QString lastSend(const char *error = nullptr) const {
        return "Last Data Sent: " + dateTimeText(m_f->clock().now())
               + (error ? QStringLiteral(" - ERROR: Data Not Sent, ") + error : QString());
    }
    void send(const QString &text) {
        c().txtSendData.setText(heldSendText(text));
        c().btnSendData.Click();
    }

private slots:
    void init() {
        m_f = std::make_unique<ProgramFixture>();
        // First of all, so nothing ever goes to the design-time address.
        c().txtSendIP.setText(QStringLiteral("127.0.0.1"));
        m_f->program().Form_KeyPress(u'~');
    }
    void cleanup() { m_f.reset(); }

    void clientSend_data() {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("wire"); // what the peer receives
        QTest::addColumn<QString>("bad");     // then a send to this port, or "@" host, must fail
        QTest::addColumn<QString>("box");     // the error that failure shows in a box; null: none
        // Line breaks typed (LF), pasted (CR LF) or put in by Shift+Enter all go out as CR LF.
        const QString typed = QStringLiteral("Grüße\u00a0\tline\ntwo\r\nthree\u2028"), none;
        const QByteArray wire = "Grüße\u00a0\tline\r\ntwo\r\nthree\r\n";
        // clang-format off
        for (bool tcp : {true, false}) {
            QTest::addRow("%s empty", tcp ? "tcp" : "udp") << tcp << none << QByteArray() << none << none;
            for (const char *port : {"0", "65536", "-1", "abc", "99999999999"})
                QTest::addRow("%s port %s", tcp ? "tcp" : "udp", port) << tcp << typed << wire << port << none;
        }
        QTest::newRow("tcp refused") << true << typed << wire << QString::number(LoopbackPeer(true).port()) << "10061:Connection refused.";
        QTest::newRow("tcp long host") << true << typed << wire << "@" + QString(300, 'a') << "11001:Host not found.";
        // The UDP client's lookups answer from the test (none or never), not from a name server.
        // A UDP send is not told in a box: its line fails, and its tool tip says why.
        QTest::newRow("udp unknown host") << false << typed << wire << "@no-such-host.invalid" << none;
        QTest::newRow("udp lookup out of time") << false << typed << wire << "@slow.invalid" << none;
        // clang-format on
    }
    // One connection or datagram with the text's bytes (blanks around host and port ignored); an
    // answer in the linger is appended; the button stays off. A bad target then fails on its own.
    void clientSend() {
        QFETCH(bool, tcp);
        QFETCH(QString, text);
        QFETCH(QByteArray, wire);
        QFETCH(QString, bad);
        QFETCH(QString, box);
        LoopbackPeer peer(tcp);
        c().optTCP[tcp ? 0 : 1]->setValue(1);
        c().txtSendIP.setText(tcp ? QStringLiteral("  127.0.0.1 ") : QStringLiteral(" localhost "));
        c().txtListenPort.setText(' ' + QString::number(peer.port()) + ' ');
        c().txtNetData.setText(QStringLiteral("<"));
        QTimer::singleShot(150, this, [this] { QVERIFY(!c().btnSendData.Enabled()); });
        send(text);
        QCOMPARE(c().txtNetData.text(), tcp && !text.isEmpty() ? "<onetwo" : "<");
        QTRY_COMPARE(peer.arrived, QList<QByteArray>{wire});
        const QString goodLine = lastSend();
        QCOMPARE(c().lblStatus[2]->Text(), goodLine);
        QCOMPARE(m_f->program().traffic().snapshot().sentSendBytes, wire.size());
        QVERIFY(sockets().sendSock->State() == SocketControl::Closed && c().btnSendData.Enabled());
        if (bad.isNull())
            return;

        m_f->clock().advance(60 * 1000);
        const bool badHost = bad.startsWith('@');
        (badHost ? c().txtSendIP : c().txtListenPort).setText(bad.mid(badHost ? 1 : 0));
        const bool answers = !bad.startsWith("@slow");
        sockets().sendSock->setHostLookup(
            [answers](const QString &, QObject *context, auto answer) {
                if (answers)
                    QTimer::singleShot(0, context, [answer] { answer({}); });
            });
        send(text);
        QCOMPARE(c().lblStatus[2]->Text(), tcp       ? lastSend("Couldn't Connect To Host")
                                           : badHost ? lastSend("Send Failed")
                                                     : goodLine);
        QCOMPARE(c().txtNetData.text(), tcp       ? "<onetwo"
                                        : badHost ? "<"
                                                  : lastSend("Couldn't Open UDP Port"));
        QCOMPARE(peer.arrived.size(), 1);
        QCOMPARE(m_f->program().traffic().snapshot().sentSendBytes,
                 wire.size()); // a failed send counts nothing
        const QString boxText = "SendSock Error #" + box + "\r\n\r\nSource:sendSock";
        QTRY_COMPARE(m_f->messages, box.isNull() ? QStringList() : QStringList{boxText});
        QCOMPARE(c().lblStatus[2]->toolTip(),
                 !tcp && badHost ? "Data not sent: 11001 - Host not found." : "");
        QVERIFY(sockets().sendSock->State() == SocketControl::Closed && c().btnSendData.Enabled());
    }

    void sendSockError_boxOpensAfterHandlerReturns() {
        m_f->program().sender().sendSock_Error(5, "Access denied", "sendSock");
        QVERIFY(m_f->messages.isEmpty());
        QTRY_COMPARE(m_f->messages.size(), 1);
    }

    void udpSend_refusedBySystem_sendFailed() {
        LoopbackPeer peer(false);
        c().optTCP[1]->setValue(1);
        c().txtListenPort.setText(QString::number(peer.port()));
        send(QString(70000, 'x')); // larger than any datagram
        QCOMPARE(c().lblStatus[2]->Text(), lastSend("Send Failed"));
        QCOMPARE(c().lblStatus[2]->toolTip(), "Data not sent: 10040 - Message too long.");
        // A broadcast the system refuses (nothing leaves while broadcasts are not allowed).
        c().txtSendIP.setText("127.255.255.255");
        send("all");
        QCOMPARE(c().lblStatus[2]->Text(), lastSend("Send Failed"));
        QVERIFY2(c().lblStatus[2]->toolTip().startsWith("Data not sent: 10013 ")
                     && c().lblStatus[2]->toolTip().endsWith("when Network Options allow it."),
                 qPrintable(c().lblStatus[2]->toolTip()));
        c().txtSendIP.setText("127.0.0.1");
        send("x");
        QCOMPARE(c().lblStatus[2]->toolTip(), "");
        QVERIFY(m_f->messages.isEmpty());
    }

    void programEndsDuringWait_noCrash() {
        LoopbackPeer peer(true);
        c().txtListenPort.setText(QString::number(peer.port()));
        const QPointer<Form> form = &c();
        QTimer::singleShot(100, this, [this] { m_f->reopen(); });
        m_f->program().sender().btnSendData_Click();
        QVERIFY(form.isNull());
    }

    void peerReply_followsPeer() {
        const quint16 port = startListener(c(), true);
        QLoggingCategory::setFilterRules("sendrel.send.info=true"); // off unless asked for
        QTest::ignoreMessage(QtInfoMsg, "listensock(0).state=2   listensock.count=1");
        m_f->program().sender().btnSendData_Click();
        QCOMPARE(c().lblStatus[2]->Text(), lastSend("No Active TCP Connection"));

        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY(c().btnSendData.Enabled());
        send(QStringLiteral("to the\npeer"));
        QCOMPARE(c().lblStatus[2]->Text(), lastSend());
        QTRY_COMPARE(peer.peek(100), QByteArray("to the\r\npeer"));

        peer.disconnectFromHost();
        QTRY_VERIFY(!c().btnSendData.Enabled());
        QCOMPARE(c().lblSendIP.Text(),
                 "TCP Server Mode Send IP Address: Unavailable, no current connection");
    }

    // A UDP listener's own port gets the send, and the listener answers while that send waits.
    void udpListener_answersWhileSendWaits() {
        answerPingWithPong(c());
        const quint16 port = startListener(c(), false);
        LoopbackPeer peer(false);
        QTimer::singleShot(50, this,
                           [&] { peer.udp.writeDatagram("ping", QHostAddress::LocalHost, port); });
        send(QStringLiteral("self"));
        QCOMPARE(peer.arrived, QList<QByteArray>{"pong\r\n"}); // already here when the send ends
        QVERIFY(c().txtNetData.text().contains(QStringLiteral("self")));
    }

    // With the option on, a send leaves from the UDP listener's own port, and the answer to it
    // arrives in the received-data box.
    void udpSend_fromListenPort() {
        NetworkOptions options = m_f->program().configuration().network();
        options.listenAddress = QHostAddress(QHostAddress::LocalHost);
        options.sendFromListenPort = true;
        m_f->program().configuration().setNetwork(options);
        const quint16 port = startListener(c(), false);
        QVERIFY(c().lblStatus[0]->Text().endsWith("(address 127.0.0.1; sending from this port)"));
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress(QStringLiteral("127.0.0.2")), port));
        int fromPort = 0;
        connect(&peer, &QUdpSocket::readyRead, this, [&] {
            const QNetworkDatagram question = peer.receiveDatagram();
            fromPort = question.senderPort();
            peer.writeDatagram("answer", question.senderAddress(), quint16(fromPort));
        });
        c().txtSendIP.setText(QStringLiteral("127.0.0.2"));
        send(QStringLiteral("question"));
        QCOMPARE(c().lblStatus[2]->Text(), lastSend());
        QTRY_COMPARE(fromPort, int(port));
        QTRY_VERIFY(c().txtNetData.text().contains(QStringLiteral("answer")));
    }

    void repeat_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("intervalMs");
        QTest::newRow("peer") << "peer" << 5 << 20;
        QTest::newRow("tcp client") << "tcp" << 2 << 20; // each send lingers longer
        QTest::newRow("udp client") << "udp" << 5 << 20;
    }
    // Every send arrives, no two closer than the interval allows, the line counts them, and the
    // button reads "Send Data" again at the end; a UDP socket kept open closes after all.
    void repeat() {
        QFETCH(QString, path);
        QFETCH(int, count);
        QFETCH(int, intervalMs);
        LoopbackPeer client(path == u"tcp");
        QTcpSocket peer;
        QList<qint64> arrivals;
        QElapsedTimer clock;
        clock.start();
        const auto arrived = [&] { arrivals << clock.elapsed(); };
        if (path == u"peer") {
            peer.connectToHost(QHostAddress::LocalHost, startListener(c(), true));
            QTRY_VERIFY(c().btnSendData.Enabled());
            connect(&peer, &QTcpSocket::readyRead, this, [&] {
                for (const char byte : peer.readAll())
                    if (byte == 'x')
                        arrived();
            });
        } else {
            c().optTCP[path == u"tcp" ? 0 : 1]->setValue(1);
            c().txtListenPort.setText(QString::number(client.port()));
            connect(&client.udp, &QUdpSocket::readyRead, this, arrived);
            connect(&client.server, &QTcpServer::newConnection, this, arrived);
        }
        c().txtSendData.setText(QStringLiteral("x"));
        RepeatSend &repeat = m_f->program().repeatSend();
        QVERIFY(repeat.start(intervalMs, count));
        QTRY_VERIFY_WITH_TIMEOUT(!repeat.running(), 10000);
        QTRY_COMPARE(arrivals.size(), count);
        QVERIFY(arrivals.last() - arrivals.first() >= (count - 1) * intervalMs * 8 / 10);
        QCOMPARE(c().lblStatus[2]->Text(), lastSend() + QStringLiteral(" (%1 of %1)").arg(count));
        QCOMPARE(c().btnSendData.Text(), QStringLiteral("Send Data"));
        QTRY_COMPARE(sockets().sendSock->State(), SocketControl::Closed);
    }

    // A stall of the event loop longer than the catch-up allowance is not made up for by a
    // burst of sends afterwards: the schedule starts afresh.
    void repeat_noBurstAfterStall() {
        LoopbackPeer peer(false);
        c().optTCP[1]->setValue(1);
        c().txtListenPort.setText(QString::number(peer.port()));
        c().txtSendData.setText(QStringLiteral("x"));
        RepeatSend &repeat = m_f->program().repeatSend();
        QVERIFY(repeat.start(20, 0));
        QTRY_VERIFY(repeat.sent() >= 2);
        const int before = repeat.sent();
        QThread::msleep(1000); // 50 sends behind
        QTest::qWait(300);     // at most 15 due, and 5 of catch-up
        repeat.stop();
        QVERIFY2(repeat.sent() - before <= 30, qPrintable(QString::number(repeat.sent() - before)));
    }

    // The highest port is a port like any other for a client send.
    void clientSend_highestPort() {
        QUdpSocket peer;
        if (!peer.bind(QHostAddress::LocalHost, 65535))
            QSKIP("port 65535 is taken on this machine");
        c().optTCP[1]->setValue(1);
        c().txtListenPort.setText(QStringLiteral("65535"));
        send(QStringLiteral("top"));
        QCOMPARE(c().lblStatus[2]->Text(), lastSend());
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), "top");
    }

    // Esc and the button stop a repeat that would go on for ever, and so does the first failure,
    // whose last-send line tells it.
    void repeat_stops() {
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, startListener(c(), true));
        QTRY_VERIFY(c().btnSendData.Enabled());
        c().txtSendData.setText(QStringLiteral("x"));
        RepeatSend &repeat = m_f->program().repeatSend();
        for (const bool escape : {true, false}) {
            QVERIFY(repeat.start(5, 0));
            QCOMPARE(c().btnSendData.Text(), QStringLiteral("Stop Repeat"));
            QTRY_VERIFY(repeat.sent() >= 3);
            escape ? m_f->program().Form_KeyPress(27) : c().btnSendData.Click();
            QVERIFY(!repeat.running());
            QCOMPARE(c().btnSendData.Text(), QStringLiteral("Send Data"));
            QCOMPARE(c().lblStatus[2]->Text(),
                     lastSend() + QStringLiteral(" (%1)").arg(repeat.sent()));
        }
        QVERIFY(repeat.start(5, 0));
        QTRY_VERIFY(repeat.sent() >= 2);
        peer.disconnectFromHost();
        QTRY_VERIFY(!repeat.running());
        QCOMPARE(c().lblStatus[2]->Text(), lastSend("No Active TCP Connection"));
    }

    // "Send as Hex": hex pairs go out as bytes; a text that is not hex sends nothing, says where,
    // and leaves the last-send line alone. The switch is stored after the response strings.
    void sendAsHex() {
        m_f->program().sender().setSendAsHex(true);

        LoopbackPeer peer(false);
        c().optTCP[1]->setValue(1);
        c().txtListenPort.setText(QString::number(peer.port()));
        send(QStringLiteral("0x00 ff:41\n"));
        QTRY_COMPARE(peer.arrived, QList<QByteArray>{QByteArray("\0\xff\x41", 3)});
        const QString sentLine = c().lblStatus[2]->Text();
        m_f->clock().advance(60 * 1000);
        send(QStringLiteral("4G"));
        QTRY_COMPARE(m_f->messages, QStringList{"Not valid hex at character 2: G"});
        QCOMPARE(c().lblStatus[2]->Text(), sentLine);
        QVERIFY(c().btnSendData.Enabled());
        QCOMPARE(peer.arrived.size(), 1);

        m_f->reopen();
        QVERIFY(fileBytes(m_f->settingsFile()).endsWith("ResponseString6=\r\nSendAsHex=1\r\n"));
        QVERIFY(m_f->program().sender().sendAsHex());
    }
};

QTEST_GUILESS_MAIN(tst_Sender)
#include "tst_sender.moc"
