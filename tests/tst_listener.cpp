// The listener driven through the real window with real loopback peers.
#include "listener/listener.h"
#include "listener/receive_handler.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "support/loopback.h"
#include "support/program_fixture.h"

#include <QFile>
#include <QLoggingCategory>
#include <QNetworkDatagram>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
Q_DECLARE_METATYPE(PairOptions)

class tst_Listener : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ProgramFixture> m_fixture;

    Form &c() { return m_fixture->form(); }

    Sockets sockets() { return m_fixture->program().sockets(); }
    Configuration &configuration() { return m_fixture->program().configuration(); }
    SocketControl *element(int index) { return sockets().listenSock->element(index); }
    int slotState() { return element(1) ? int(element(1)->State()) : -1; }

    static std::unique_ptr<QTcpSocket> connectPeer(quint16 port) {
        auto peer = std::make_unique<QTcpSocket>();
        peer->connectToHost(QHostAddress::LocalHost, port);
        return peer;
    }

    // The status monitor's ticks leave an error on screen; the operator's Stop clears it.
    void expectErrorHeldUntilStop(const QString &error) {
        const int ticks = 3;
        QSignalSpy tick(&m_fixture->program().tmrMain(), &QTimer::timeout);
        QTRY_VERIFY(tick.size() >= ticks);
        QCOMPARE(c().lblStatus[0]->Text(), error);
        m_fixture->program().listener().btnDisconnect_Click();
        QTRY_COMPARE(c().lblStatus[0]->Text(), QStringLiteral("Not Connected"));
    }

private slots:
    void init() { m_fixture = std::make_unique<ProgramFixture>(); }
    void cleanup() { m_fixture.reset(); }

    void startAndStop_switchLooks_data() {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("tcp") << true;
        QTest::newRow("udp") << false;
    }
    void startAndStop_switchLooks() {
        QFETCH(bool, tcp);
        const quint16 port = startListener(c(), tcp);
        QCOMPARE(
            c().lblStatus[0]->Text(),
            QStringLiteral("Waiting for %1 data on port %2").arg(tcp ? "TCP" : "UDP").arg(port));
        QVERIFY(!c().btnConnect.Visible() && c().btnDisconnect.Visible());
        QVERIFY(c().txtListenPort.Locked());
        QVERIFY(!c().optTCP[1]->Enabled() && !c().optReceiveType[0]->Enabled());
        QCOMPARE(c().btnSendData.Enabled(), !tcp);
        QCOMPARE(!c().txtSendIP.Visible(), tcp);
        QCOMPARE(c().lblSendIP.Text(),
                 tcp ? "TCP Server Mode Send IP Address: Unavailable, no current connection"
                     : "UDP Mode Send IP Address:");
        QVERIFY(QFile::exists(m_fixture->settingsFile()));

        c().btnDisconnect.Click();
        QCOMPARE(c().lblStatus[0]->Text(), QStringLiteral("Connection Closed"));
        QCOMPARE(element(0)->State(), SocketControl::Closed);
        QVERIFY(c().btnConnect.Visible() && !c().btnDisconnect.Visible());
        QVERIFY(!c().txtListenPort.Locked() && c().optTCP[1]->Enabled());
        QCOMPARE(c().lblSendIP.Text(), QStringLiteral("Client Mode Send IP Address:"));
        QTRY_COMPARE(c().lblStatus[0]->Text(), QStringLiteral("Not Connected"));
    }

    void start_fails_showsErrorAndIdleLook_data() {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("port"); // empty: a port another socket holds
        QTest::newRow("tcp port in use") << true << QString();
        QTest::newRow("udp port in use") << false << QString();
        QTest::newRow("65536") << true << QStringLiteral("65536");
        QTest::newRow("negative") << false << QStringLiteral("-1");
    }
    void start_fails_showsErrorAndIdleLook() {
        QFETCH(bool, tcp);
        QFETCH(QString, port);
        QTcpServer tcpHolder;
        QUdpSocket udpHolder;
        if (port.isEmpty()) {
            QVERIFY(tcp ? tcpHolder.listen(QHostAddress::Any, 0) : udpHolder.bind(0));
            port = QString::number(tcp ? tcpHolder.serverPort() : udpHolder.localPort());
        }
        c().optTCP[tcp ? 0 : 1]->setValue(1);
        c().txtListenPort.setText(port);
        c().btnConnect.Click();

        QCOMPARE(
            c().lblStatus[0]->Text(),
            QStringLiteral("Error while attempting connection.\r\nPort may already be in use"));
        QCOMPARE(c().txtListenPort.Text(), port);
        QCOMPARE(element(0)->State(), SocketControl::Closed);
        QVERIFY(c().btnConnect.Visible() && !c().btnDisconnect.Visible());
        QVERIFY(c().optTCP[0]->Enabled());
        QVERIFY(QFile::exists(m_fixture->settingsFile()));
        expectErrorHeldUntilStop(
            QStringLiteral("Error while attempting connection.\r\nPort may already be in use"));
    }

    void tcp_secondPeerRefused_firstKeepsWorking() {
        const quint16 port = startListener(c(), true);
        answerPingWithPong(c());
        QSignalSpy refused(&m_fixture->program().listener(), &Listener::connectionRefused);
        auto first = connectPeer(port);
        QTRY_COMPARE(slotState(), int(SocketControl::Connected));
        QTcpSocket second;
        QVERIFY(second.bind(QHostAddress::LocalHost, 0));
        const quint16 secondPort = second.localPort();
        second.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(sockets().listenSock->Count(), 2);
        QCOMPARE(refused.size(), 1);
        QCOMPARE(refused.first(),
                 (QVariantList{QStringLiteral("127.0.0.1:%1").arg(secondPort),
                               QStringLiteral("127.0.0.1:%1").arg(first->localPort())}));

        first->write("ping");
        QTRY_COMPARE(first->bytesAvailable(), qint64(6));
        QCOMPARE(first->readAll(), QByteArray("pong\r\n"));
        QVERIFY(c().txtNetData.text().endsWith(
            QStringLiteral("\r\nReplied to ping with:\r\npong On Sock:1\r\n")));
        QTRY_VERIFY(c().btnSendData.Enabled());
        QCOMPARE(c().lblSendIP.Text(),
                 QStringLiteral("TCP Server Mode Send IP Address: 127.0.0.1"));
    }

    void tcp_peerLeaves_listenerReopensAndServesNext() {
        const quint16 port = startListener(c(), true);
        auto first = connectPeer(port);
        first->write("one");
        QTRY_COMPARE(m_fixture->program().lastReceived().remoteIP, QStringLiteral("127.0.0.1"));
        QCOMPARE(c().txtNetData.text(), QStringLiteral("one"));
        first->disconnectFromHost();
        QTRY_COMPARE(sockets().listenSock->Count(), 1);
        QCOMPARE(m_fixture->program().lastReceived().remoteIP, QStringLiteral("None"));
        QTRY_COMPARE(c().lblStatus[0]->Text(),
                     QStringLiteral("Waiting for TCP data on port %1").arg(port));
        QTRY_VERIFY(!c().btnSendData.Enabled());

        m_fixture->clock().advance(5000);
        auto next = connectPeer(port);
        next->write("two");
        QTRY_COMPARE(c().txtNetData.text(), QStringLiteral("two"));
    }

    void udp_answersEachSenderWithExpandedTokens() {
        const quint16 port = startListener(c(), false);
        setPairs(c(), {{}, {}, {}, QStringLiteral("hello%CRLF%")},
                 {{}, {}, {}, QStringLiteral("%TAB%ok%CR%")});
        QUdpSocket a, b;
        QVERIFY(a.bind(QHostAddress::LocalHost, 0) && b.bind(QHostAddress::LocalHost, 0));
        a.writeDatagram("hello\r\n", QHostAddress::LocalHost, port);
        QTRY_VERIFY(a.hasPendingDatagrams());
        QCOMPARE(a.receiveDatagram().data(), QByteArray("\tok\r\r\n"));
        QVERIFY(c().txtNetData.text().endsWith(
            QStringLiteral("\r\nReplied to hello%CRLF% with:\r\n\tok\r On Sock:0\r\n")));

        b.writeDatagram("Hello\r\n", QHostAddress::LocalHost, port);
        b.writeDatagram("hello\r\n", QHostAddress::LocalHost, port);
        QTRY_VERIFY(b.hasPendingDatagrams());
        QCOMPARE(b.receiveDatagram().data(), QByteArray("\tok\r\r\n"));
        QVERIFY(!b.hasPendingDatagrams() && !a.hasPendingDatagrams());
    }

    // A reply that could not go out is noted with the reason, never as replied.
    void udp_answerTooLargeForADatagram_notedAsNotSent() {
        const quint16 port = startListener(c(), false);
        setPairs(c(), {QStringLiteral("big")}, {QString(70000, u'x')});
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        peer.writeDatagram("big", QHostAddress::LocalHost, port);
        QTRY_COMPARE(c().txtNetData.text(),
                     QStringLiteral("big\r\nReply to big not sent: 10040 - Message too long."
                                    " On Sock:0\r\n"));
        QCOMPARE(sockets().listenSock->element(0)->State(), SocketControl::Open);
    }

    void autoRespond_answersEveryMatchingPair_data() {
        QTest::addColumn<QStringList>("watch");
        QTest::addColumn<int>("value");
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<QByteArray>("answer");
        const QStringList pingAt2And5{{}, {}, "ping", {}, {}, "ping", {}};
        QTest::newRow("two pairs, index order")
            << pingAt2And5 << 1 << QByteArray("ping") << QByteArray("r2\r\nr5\r\n");
        QTest::newRow("case differs") << pingAt2And5 << 1 << QByteArray("Ping") << QByteArray();
        QTest::newRow("longer chunk") << pingAt2And5 << 1 << QByteArray("ping!") << QByteArray();
        QTest::newRow("grey check box is off")
            << pingAt2And5 << 2 << QByteArray("ping") << QByteArray();
        QTest::newRow("empty watch never matches")
            << QStringList(7, QString()) << 1 << QByteArray("x") << QByteArray();
        QTest::newRow("lower-case token is text")
            << QStringList{"a%cr%"} << 1 << QByteArray("a%cr%") << QByteArray("r0\r\n");
        QTest::newRow("utf-8 watch string")
            << QStringList{"grüß"} << 1 << QByteArray("gr\xc3\xbc\xc3\x9f") << QByteArray("r0\r\n");
    }
    void autoRespond_answersEveryMatchingPair() {
        QFETCH(QStringList, watch);
        QFETCH(int, value);
        QFETCH(QByteArray, chunk);
        QFETCH(QByteArray, answer);
        const quint16 port = startListener(c(), false);
        setPairs(c(), watch, {"r0", "r1", "r2", "r3", "r4", "r5", "r6"});
        c().chkEnableAutoRespond.setValue(value);
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        peer.writeDatagram(chunk, QHostAddress::LocalHost, port);
        peer.writeDatagram("end", QHostAddress::LocalHost, port); // marks the chunk as handled
        QTRY_VERIFY(c().txtNetData.text().endsWith(QStringLiteral("end")));
        QByteArray received;
        while (peer.hasPendingDatagrams())
            received += peer.receiveDatagram().data();
        QCOMPARE(received, answer);
    }

    // Pairs away from the defaults, each chunk from one UDP peer; the replies as they arrive.
    void autoRespond_richerPairs_data() {
        QTest::addColumn<QStringList>("watch");
        QTest::addColumn<QStringList>("response");
        QTest::addColumn<PairOptions>("first"); // the first pair's options; the others exact
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QByteArrayList>("replies");
        QTest::newRow("contains, capture, counter")
            << QStringList{"id="} << QStringList{"got %0 #%COUNTER%"}
            << PairOptions{MatchMode::Contains, false, true, 0}
            << QByteArrayList{"x id=1", "none", "id="}
            << QByteArrayList{"got id= #1\r\n", "got id= #2\r\n"};
        QTest::newRow("hex both sides, no line end") << QStringList{"00 FF"} << QStringList{"06 %0"}
                                                     << PairOptions{MatchMode::Hex, true, false, 0}
                                                     << QByteArrayList{QByteArray("a\0\xff", 3)}
                                                     << QByteArrayList{QByteArray("\x06\0\xff", 3)};
        // The runaway pattern gives up on its chunk; the next chunk is still answered.
        QTest::newRow("catastrophic pattern")
            << QStringList{"^(a+)+$", "ping"} << QStringList{"never", "pong"}
            << PairOptions{MatchMode::Regex, false, true, 0}
            << QByteArrayList{QByteArray(30, 'a') + 'b', "ping"} << QByteArrayList{"pong\r\n"};
    }
    void autoRespond_richerPairs() {
        QFETCH(QStringList, watch);
        QFETCH(QStringList, response);
        QFETCH(PairOptions, first);
        QFETCH(QByteArrayList, chunks);
        QFETCH(QByteArrayList, replies);
        // The warning stands on its own category: the sockets' warnings off leave it on.
        QLoggingCategory::setFilterRules(u"sendrel.net.warning=false"_s);
        const auto allCategories = qScopeGuard([] { QLoggingCategory::setFilterRules({}); });
        if (first.mode == MatchMode::Regex)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(u"^Auto-respond rule 0 .* gave up"_s));
        const quint16 port = startListener(c(), false);
        setPairs(c(), watch, response);
        configuration().setPairOptions(0, first);
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        for (const QByteArray &chunk : chunks)
            peer.writeDatagram(chunk, QHostAddress::LocalHost, port);
        QByteArrayList received;
        while (received.size() < replies.size()) {
            QTRY_VERIFY(peer.hasPendingDatagrams());
            received += peer.receiveDatagram().data();
        }
        QCOMPARE(received, replies);
    }

    // A delayed answer waits without holding up another pair's; the delayed ones keep the
    // chunks' order.
    void autoRespond_delayedAnswersKeepTheirOrder() {
        const quint16 port = startListener(c(), true);
        setPairs(c(), {"ping", "ping"}, {"late %COUNTER%", "now"});
        configuration().setPairOptions(0, {MatchMode::Contains, false, true, 300});
        auto peer = connectPeer(port);
        QVERIFY(peer->waitForConnected(5000));
        peer->write("ping");
        QByteArray received;
        QTRY_VERIFY((received += peer->readAll()).startsWith("now\r\n"));
        peer->write("ping");
        QTRY_VERIFY((received += peer->readAll()).contains("late 2\r\n"));
        received.replace("now\r\n", "");
        QCOMPARE(received, QByteArray("late 1\r\nlate 2\r\n"));
        QVERIFY(c().txtNetData.text().endsWith(u"Replied to ping with:\r\nlate 2 On Sock:1\r\n"_s));
    }

    // Stop drops what was waiting; Start counts anew.
    void autoRespond_stopCancelsDelayedAnswers() {
        quint16 port = startListener(c(), false);
        setPairs(c(), {"ping"}, {"pong %COUNTER%"});
        configuration().setPairOptions(0, {MatchMode::Contains, false, true, 200});
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        peer.writeDatagram("ping", QHostAddress::LocalHost, port);
        const DelayedAnswers &delayed = m_fixture->program().receiveHandler().delayedAnswers();
        QTRY_COMPARE(delayed.pendingCount(), 1);
        c().btnDisconnect.Click();
        port = startListener(c(), false);
        QTRY_COMPARE(delayed.pendingCount(), 0);
        QVERIFY(!c().txtNetData.text().contains(u"Replied"_s));
        peer.writeDatagram("ping", QHostAddress::LocalHost, port);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("pong 1\r\n"));
        QVERIFY(!peer.hasPendingDatagrams());
    }

    void http_notFoundAndReset_data() {
        QTest::addColumn<bool>("httpMode");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("answered");
        QTest::newRow("GET") << true << QByteArray("GET / HTTP/1.0\r\n\r\n") << true;
        QTest::newRow("PUT") << true << QByteArray("PUT /x HTTP/1.1\r\n\r\n") << true;
        QTest::newRow("inside a word") << true << QByteArray("FORGET IT") << true;
        QTest::newRow("OUTPUT") << true << QByteArray("OUTPUT") << true;
        QTest::newRow("binary around GET") << true << QByteArray("\0\xffGET\0", 6) << true;
        QTest::newRow("lower case") << true << QByteArray("get /") << false;
        QTest::newRow("POST") << true << QByteArray("POST /") << false;
        QTest::newRow("general text mode")
            << false << QByteArray("GET / HTTP/1.0\r\n\r\n") << false;
    }
    void http_notFoundAndReset() {
        QFETCH(bool, httpMode);
        QFETCH(QByteArray, request);
        QFETCH(bool, answered);
        c().optReceiveType[httpMode ? 1 : 0]->setValue(1);
        const quint16 port = startListener(c(), true);
        auto peer = connectPeer(port);
        QByteArray answer;
        connect(peer.get(), &QIODevice::readyRead, this, [&] { answer += peer->readAll(); });
        QVERIFY(peer->waitForConnected(5000));
        peer->write(request);
        QVERIFY(peer->waitForBytesWritten(5000));
        // A peer that half-closes after its request must still get the whole reply.
        ::shutdown(int(peer->socketDescriptor()), SHUT_WR);
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(answer, answered ? QByteArray("HTTP/1.0 404 Not Found\r\nServer: KVX Sendrel HTTP "
                                               "Server\r\n\r\n")
                                  : QByteArray());
        QCOMPARE(c().txtNetData.text(), QString::fromUtf8(request));
        QTRY_COMPARE(m_fixture->program().lastReceived().remoteIP, QStringLiteral("None"));
        QTRY_VERIFY(c().lblStatus[0]->Text().startsWith(QStringLiteral("Waiting for TCP")));
        QCOMPARE(element(0)->LocalPort(), int(port));
    }

    void show_appendsWithinTheWindowElseReplaces_data() {
        QTest::addColumn<qint32>("firstTick");
        QTest::addColumn<qint32>("secondTick");
        QTest::addColumn<QString>("shown");
        QTest::newRow("999 ms") << 100000 << 100999 << QStringLiteral("abcdef");
        QTest::newRow("1000 ms") << 100000 << 101000 << QStringLiteral("abcdef");
        QTest::newRow("1001 ms") << 100000 << 101001 << QStringLiteral("def");
        QTest::newRow("difference overflows") << 2147483000 << -2147483000 << QStringLiteral("def");
    }
    void show_appendsWithinTheWindowElseReplaces() {
        QFETCH(qint32, firstTick);
        QFETCH(qint32, secondTick);
        QFETCH(QString, shown);
        const quint16 port = startListener(c(), false);
        c().txtNetData.setText(QStringLiteral("old"));
        m_fixture->clock().setTick(firstTick);
        QUdpSocket peer;
        peer.writeDatagram("abc", QHostAddress::LocalHost, port);
        QTRY_COMPARE(c().txtNetData.text(), QStringLiteral("abc"));
        m_fixture->clock().setTick(secondTick);
        peer.writeDatagram("def", QHostAddress::LocalHost, port);
        QTRY_COMPARE(c().txtNetData.text(), shown);
    }

    void statusLines_followTheListener() {
        QTRY_COMPARE(c().lblStatus[0]->Text(), QStringLiteral("Not Connected"));
        QCOMPARE(c().lblStatus[1]->Text(),
                 QStringLiteral("Last Data Received:None - Sock State:0 (Not Connected)"));
        const quint16 port = startListener(c(), true);
        const QString open =
            QStringLiteral("Last Data Received:%1 - Sock State:2 - Port:%2 - Remote IP:%3");
        QTRY_COMPARE(c().lblStatus[1]->Text(), open.arg("None").arg(port).arg("None"));
        auto peer = connectPeer(port);
        peer->write("x");
        const QString when = QStringLiteral("12/5/2026 9:34:51 PM");
        QTRY_COMPARE(c().lblStatus[1]->Text(), open.arg(when).arg(port).arg("127.0.0.1"));
        c().btnDisconnect.Click();
        QTRY_COMPARE(
            c().lblStatus[1]->Text(),
            QStringLiteral("Last Data Received:%1 - Sock State:0 (Not Connected)").arg(when));
    }

    void socketError_stopsListenerAndShowsIt() {
        startListener(c(), true);
        m_fixture->program().listener().listenSock_Error(
            1, 10053, QStringLiteral("Software caused connection abort."),
            QStringLiteral("listenSock"));
        QCOMPARE(c().lblStatus[0]->Text(),
                 QStringLiteral("Connection closed because of error:\r\n"
                                "10053 - Software caused connection abort."));
        QCOMPARE(element(0)->State(), SocketControl::Closed);
        expectErrorHeldUntilStop(QStringLiteral("Connection closed because of error:\r\n"
                                                "10053 - Software caused connection abort."));
    }

    void close_withPeer_closesConnectionAndSaves() {
        const quint16 port = startListener(c(), true);
        auto peer = connectPeer(port);
        QTRY_COMPARE(sockets().listenSock->Count(), 2);
        QFile::remove(m_fixture->settingsFile());
        m_fixture->program().Form_Unload();
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(element(0)->State(), SocketControl::Closed);
        QVERIFY(QFile::exists(m_fixture->settingsFile()));
    }
};

QTEST_GUILESS_MAIN(tst_Listener)
#include "tst_listener.moc"
