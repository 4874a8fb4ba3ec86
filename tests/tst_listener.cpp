// The listener driven through the real window with real loopback peers.
#include "app/main_window.h"
#include "app/received_data_box.h"
#include "listener/listener.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "support/fake_clock.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <memory>
#include <sys/socket.h>

namespace {

const QByteArray NotFoundReply =
    "HTTP/1.0 404 Not Found\r\nServer: KVX Sendrel HTTP Server\r\n\r\n";

} // namespace

class tst_Listener : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    FakeClock m_clock;
    std::unique_ptr<MainWindow> m_window;

    Controls &c() { return m_window->controls(); }
    SocketControl *element(int index) { return c().listenSock->element(index); }

    // A fixed free port, so a restart of the listener reopens the same one.
    static quint16 freePort(bool tcp)
    {
        if (tcp) {
            QTcpServer probe;
            return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
        }
        QUdpSocket probe;
        return probe.bind(QHostAddress::Any, 0) ? probe.localPort() : 0;
    }

    quint16 start(bool tcp)
    {
        c().optTCP[tcp ? 0 : 1]->setChecked(true);
        c().txtListenPort->setText(QString::number(freePort(tcp)));
        QTest::mouseClick(c().btnConnect, Qt::LeftButton);
        return quint16(element(0)->LocalPort());
    }

    std::unique_ptr<QTcpSocket> connectPeer(quint16 port)
    {
        auto peer = std::make_unique<QTcpSocket>();
        peer->connectToHost(QHostAddress::LocalHost, port);
        return peer;
    }

    QString settingsFile() const { return m_dir.filePath(QStringLiteral("Sendrel_Settings.ini")); }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_clock = FakeClock();
        WindowOptions options;
        options.location = {m_dir.path(), m_dir.filePath(QStringLiteral("config")),
                            m_dir.filePath(QStringLiteral("data"))};
        options.clock = &m_clock;
        options.browseForFolder = [](QWidget *, const QString &) { return QString(); };
        m_window = std::make_unique<MainWindow>(options);
        m_window->show();
        QFile::remove(settingsFile());
    }

    void cleanup()
    {
        m_window.reset();
        QFile::remove(settingsFile());
    }

    void start_showsListeningLook_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("tcp") << true;
        QTest::newRow("udp") << false;
    }
    void start_showsListeningLook()
    {
        QFETCH(bool, tcp);
        const quint16 port = start(tcp);
        QVERIFY(port != 0);
        const QString kind = tcp ? QStringLiteral("TCP") : QStringLiteral("UDP");
        QCOMPARE(c().lblStatus[0]->text(),
                 QStringLiteral("Waiting for %1 data on port %2").arg(kind).arg(port));
        QVERIFY(c().btnConnect->isHidden());
        QVERIFY(!c().btnDisconnect->isHidden());
        QVERIFY(c().txtListenPort->isReadOnly());
        for (QRadioButton *option : {c().optTCP[0], c().optTCP[1], c().optReceiveType[0],
                                     c().optReceiveType[1]})
            QVERIFY(!option->isEnabled());
        QCOMPARE(c().btnSendData->isEnabled(), !tcp);
        QCOMPARE(c().txtSendIP->isHidden(), tcp);
        QCOMPARE(c().lblSendIP->text(),
                 tcp ? QStringLiteral(
                           "TCP Server Mode Send IP Address: Unavailable, no current connection")
                     : QStringLiteral("UDP Mode Send IP Address:"));
        QVERIFY(QFile::exists(settingsFile()));

        QTest::mouseClick(c().btnDisconnect, Qt::LeftButton);
        QCOMPARE(c().lblStatus[0]->text(), QStringLiteral("Connection Closed"));
        QCOMPARE(element(0)->State(), int(SocketControl::Closed));
        QVERIFY(!c().btnConnect->isHidden());
        QVERIFY(c().btnDisconnect->isHidden());
        QVERIFY(!c().txtListenPort->isReadOnly());
        QVERIFY(c().btnSendData->isEnabled());
        QCOMPARE(c().lblSendIP->text(), QStringLiteral("Client Mode Send IP Address:"));
        QTRY_COMPARE(c().lblStatus[0]->text(), QStringLiteral("Not Connected"));
    }

    void start_portHeldElsewhere_showsErrorAndIdleLook_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("tcp") << true;
        QTest::newRow("udp") << false;
    }
    void start_portHeldElsewhere_showsErrorAndIdleLook()
    {
        QFETCH(bool, tcp);
        QTcpServer tcpHolder;
        QUdpSocket udpHolder;
        quint16 port = 0;
        if (tcp) {
            QVERIFY(tcpHolder.listen(QHostAddress::Any, 0));
            port = tcpHolder.serverPort();
        } else {
            QVERIFY(udpHolder.bind(QHostAddress::Any, 0));
            port = udpHolder.localPort();
        }
        c().optTCP[tcp ? 0 : 1]->setChecked(true);
        c().txtListenPort->setText(QString::number(port));
        QTest::mouseClick(c().btnConnect, Qt::LeftButton);

        QCOMPARE(c().lblStatus[0]->text(),
                 QStringLiteral("Error while attempting connection.\r\nPort may already be in use"));
        QVERIFY(!c().btnConnect->isHidden());
        QVERIFY(c().btnDisconnect->isHidden());
        QVERIFY(c().optTCP[0]->isEnabled());
        QVERIFY(QFile::exists(settingsFile()));
        QTRY_COMPARE(c().lblStatus[0]->text(), QStringLiteral("Not Connected"));
    }

    void start_portOutsideRange_fails_data()
    {
        QTest::addColumn<QString>("port");
        QTest::newRow("65536") << QStringLiteral("65536");
        QTest::newRow("negative") << QStringLiteral("-1");
    }
    void start_portOutsideRange_fails()
    {
        QFETCH(QString, port);
        c().txtListenPort->setText(port);
        QTest::mouseClick(c().btnConnect, Qt::LeftButton);
        QCOMPARE(c().txtListenPort->text(), port);
        QCOMPARE(element(0)->State(), int(SocketControl::Closed));
        QVERIFY(c().lblStatus[0]->text().startsWith(QStringLiteral("Error while attempting")));
    }

    void tcp_secondPeerRefused_firstKeepsWorking()
    {
        const quint16 port = start(true);
        c().chkEnableAutoRespond->setCheckState(Qt::Checked);
        c().txtWatchString[0]->setText(QStringLiteral("ping"));
        c().txtResponseString[0]->setText(QStringLiteral("pong"));

        auto first = connectPeer(port);
        QTRY_COMPARE(element(1) ? element(1)->State() : -1, int(SocketControl::Connected));
        auto second = connectPeer(port);
        QTRY_COMPARE(second->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(c().listenSock->Count(), 2);

        first->write("ping");
        QTRY_COMPARE(first->bytesAvailable(), qint64(6));
        QCOMPARE(first->readAll(), QByteArray("pong\r\n"));
        QVERIFY(c().txtNetData->text().endsWith(
            QStringLiteral("\r\nReplied to ping with:\r\npong On Sock:1\r\n")));
        QTRY_COMPARE(c().btnSendData->isEnabled(), true);
        QCOMPARE(c().lblSendIP->text(), QStringLiteral("TCP Server Mode Send IP Address: 127.0.0.1"));
    }

    void tcp_peerLeaves_listenerReopensAndServesNext()
    {
        const quint16 port = start(true);
        auto first = connectPeer(port);
        first->write("one");
        QTRY_COMPARE(c().txtNetData->text(), QStringLiteral("one"));
        QTRY_COMPARE(m_window->state().LastRemoteIP, QStringLiteral("127.0.0.1"));
        first->disconnectFromHost();
        QTRY_COMPARE(c().listenSock->Count(), 1);
        QCOMPARE(m_window->state().LastRemoteIP, QStringLiteral("None"));
        QTRY_COMPARE(c().lblStatus[0]->text(),
                     QStringLiteral("Waiting for TCP data on port %1").arg(port));
        QTRY_VERIFY(!c().btnSendData->isEnabled());

        m_clock.advance(5000);
        auto next = connectPeer(port);
        next->write("two");
        QTRY_COMPARE(c().txtNetData->text(), QStringLiteral("two"));
    }

    void tcp_resetMidTransfer_keepsDataAndRecovers()
    {
        const quint16 port = start(true);
        c().chkLogData->setCheckState(Qt::Checked);
        c().txtLogPath->setText(m_dir.filePath(QStringLiteral("logs")));
        auto peer = connectPeer(port);
        QVERIFY(peer->waitForConnected(5000));
        const QByteArray payload(300000, 'x');
        peer->write(payload);
        peer->flush();
        QTRY_VERIFY(c().txtNetData->text().size() > 0);
        peer->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        ::linger hard{1, 0};
        ::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        peer->abort();
        QTRY_COMPARE(c().listenSock->Count(), 1);
        QTRY_VERIFY(c().lblStatus[0]->text().startsWith(QStringLiteral("Waiting for TCP")));
        auto next = connectPeer(port);
        QTRY_COMPARE(element(1) ? element(1)->State() : -1, int(SocketControl::Connected));
    }

    void udp_datagramsAnsweredToTheirSender()
    {
        const quint16 port = start(false);
        c().chkEnableAutoRespond->setCheckState(Qt::Checked);
        c().txtWatchString[3]->setText(QStringLiteral("hello%CRLF%"));
        c().txtResponseString[3]->setText(QStringLiteral("%TAB%ok%CR%"));

        QUdpSocket a, b;
        QVERIFY(a.bind(QHostAddress::LocalHost, 0));
        QVERIFY(b.bind(QHostAddress::LocalHost, 0));
        a.writeDatagram("hello\r\n", QHostAddress::LocalHost, port);
        QTRY_VERIFY(a.hasPendingDatagrams());
        QCOMPARE(a.receiveDatagram().data(), QByteArray("\tok\r\r\n"));
        QVERIFY(c().txtNetData->text().endsWith(
            QStringLiteral("\r\nReplied to hello%CRLF% with:\r\n\tok\r On Sock:0\r\n")));

        b.writeDatagram("Hello\r\n", QHostAddress::LocalHost, port);
        b.writeDatagram("hello\r\n", QHostAddress::LocalHost, port);
        QTRY_VERIFY(b.hasPendingDatagrams());
        QCOMPARE(b.receiveDatagram().data(), QByteArray("\tok\r\r\n"));
        QVERIFY(!b.hasPendingDatagrams());
        QVERIFY(!a.hasPendingDatagrams());
        QCOMPARE(m_window->state().LastRemoteIP, QStringLiteral("127.0.0.1"));
    }

    void autoRespond_matching_data()
    {
        QTest::addColumn<QStringList>("watch");
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<QByteArray>("answer");
        const QStringList pingAt2And5{{}, {}, QStringLiteral("ping"), {}, {},
                                      QStringLiteral("ping"), {}};
        QTest::newRow("two pairs, index order") << pingAt2And5 << QByteArray("ping")
                                                << QByteArray("r2\r\nr5\r\n");
        QTest::newRow("case differs") << pingAt2And5 << QByteArray("Ping") << QByteArray();
        QTest::newRow("longer chunk") << pingAt2And5 << QByteArray("ping!") << QByteArray();
        QTest::newRow("empty watch never matches")
            << QStringList(7, QString()) << QByteArray("x") << QByteArray();
        QTest::newRow("lower-case token is text")
            << QStringList{QStringLiteral("a%cr%")} << QByteArray("a%cr%") << QByteArray("r0\r\n");
        QTest::newRow("utf-8 watch string")
            << QStringList{QStringLiteral("grüß")} << QByteArray("gr\xc3\xbc\xc3\x9f")
            << QByteArray("r0\r\n");
    }
    void autoRespond_matching()
    {
        QFETCH(QStringList, watch);
        QFETCH(QByteArray, chunk);
        QFETCH(QByteArray, answer);
        const quint16 port = start(false);
        c().chkEnableAutoRespond->setCheckState(Qt::Checked);
        for (int i = 0; i < 7; ++i) {
            c().txtWatchString[i]->setText(watch.value(i));
            c().txtResponseString[i]->setText(QStringLiteral("r%1").arg(i));
        }
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        peer.writeDatagram(chunk, QHostAddress::LocalHost, port);
        peer.writeDatagram("end", QHostAddress::LocalHost, port); // marks the chunk as handled
        QTRY_VERIFY(c().txtNetData->text().endsWith(QStringLiteral("end")));
        QByteArray received;
        while (peer.hasPendingDatagrams())
            received += peer.receiveDatagram().data();
        QCOMPARE(received, answer);
    }

    void autoRespond_greyCheckBox_doesNotAnswer()
    {
        const quint16 port = start(false);
        c().chkEnableAutoRespond->setCheckState(Qt::PartiallyChecked);
        c().txtWatchString[0]->setText(QStringLiteral("x"));
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        peer.writeDatagram("x", QHostAddress::LocalHost, port);
        peer.writeDatagram("end", QHostAddress::LocalHost, port);
        QTRY_VERIFY(c().txtNetData->text().endsWith(QStringLiteral("end")));
        QVERIFY(!peer.hasPendingDatagrams());
    }

    void http_requestsGetNotFoundAndReset_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("answered");
        QTest::newRow("GET") << QByteArray("GET / HTTP/1.0\r\n\r\n") << true;
        QTest::newRow("PUT") << QByteArray("PUT /x HTTP/1.1\r\n\r\n") << true;
        QTest::newRow("inside a word") << QByteArray("FORGET IT") << true;
        QTest::newRow("OUTPUT") << QByteArray("OUTPUT") << true;
        QTest::newRow("lower case") << QByteArray("get /") << false;
        QTest::newRow("POST") << QByteArray("POST /") << false;
        QTest::newRow("binary with GET") << QByteArray("\0\xffGET\0", 6) << true;
    }
    void http_requestsGetNotFoundAndReset()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, answered);
        c().optReceiveType[1]->setChecked(true);
        const quint16 port = start(true);
        auto peer = connectPeer(port);
        QByteArray answer;
        connect(peer.get(), &QIODevice::readyRead, this, [&] { answer += peer->readAll(); });
        QVERIFY(peer->waitForConnected(5000));
        peer->write(request);
        QVERIFY(peer->waitForBytesWritten(5000));
        // A peer that half-closes after its request must still get the whole reply.
        ::shutdown(int(peer->socketDescriptor()), SHUT_WR);
        if (answered) {
            QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(answer, NotFoundReply);
            QCOMPARE(m_window->state().LastRemoteIP, QStringLiteral("None"));
            QVERIFY(m_window->state().LastDataTime != QStringLiteral("None"));
            QTRY_VERIFY(c().lblStatus[0]->text().startsWith(QStringLiteral("Waiting for TCP")));
            QCOMPARE(element(0)->LocalPort(), int(port));
        } else {
            QTRY_COMPARE(c().txtNetData->text(), QString::fromUtf8(request));
            QTRY_COMPARE(c().listenSock->Count(), 1); // the peer's close restarts the listener
            QCOMPARE(answer, QByteArray());
        }
    }

    void http_generalTextMode_neverAnswers()
    {
        const quint16 port = start(true);
        auto peer = connectPeer(port);
        peer->write("GET / HTTP/1.0\r\n\r\n");
        QTRY_VERIFY(c().txtNetData->text().startsWith(QStringLiteral("GET")));
        QCOMPARE(c().listenSock->Count(), 2);
        QTest::qWait(50);
        QCOMPARE(peer->bytesAvailable(), qint64(0));
    }

    void appendRule_byElapsedTicks_data()
    {
        QTest::addColumn<int>("gap");
        QTest::addColumn<QString>("shown");
        QTest::newRow("999") << 999 << QStringLiteral("abcdef");
        QTest::newRow("1000") << 1000 << QStringLiteral("abcdef");
        QTest::newRow("1001") << 1001 << QStringLiteral("def");
    }
    void appendRule_byElapsedTicks()
    {
        QFETCH(int, gap);
        QFETCH(QString, shown);
        const quint16 port = start(false);
        c().txtNetData->setText(QStringLiteral("old"));
        QUdpSocket peer;
        peer.writeDatagram("abc", QHostAddress::LocalHost, port);
        QTRY_COMPARE(c().txtNetData->text(), QStringLiteral("abc"));
        m_clock.advance(gap);
        peer.writeDatagram("def", QHostAddress::LocalHost, port);
        QTRY_COMPARE(c().txtNetData->text(), shown);
    }

    void appendRule_tickWrapsAround_replaces()
    {
        const quint16 port = start(false);
        m_clock.setTick(2147483000);
        QUdpSocket peer;
        peer.writeDatagram("abc", QHostAddress::LocalHost, port);
        QTRY_COMPARE(c().txtNetData->text(), QStringLiteral("abc"));
        m_clock.setTick(-2147483000); // a 32-bit difference that overflows
        peer.writeDatagram("def", QHostAddress::LocalHost, port);
        QTRY_COMPARE(c().txtNetData->text(), QStringLiteral("def"));
    }

    void statusLines_followTheListener()
    {
        QTRY_COMPARE(c().lblStatus[0]->text(), QStringLiteral("Not Connected"));
        QCOMPARE(c().lblStatus[1]->text(),
                 QStringLiteral("Last Data Received:None - Sock State:0 (Not Connected)"));
        const quint16 port = start(true);
        QTRY_COMPARE(c().lblStatus[1]->text(),
                     QStringLiteral("Last Data Received:None - Sock State:2 - Port:%1 - Remote IP:None")
                         .arg(port));
        auto peer = connectPeer(port);
        peer->write("x");
        QTRY_COMPARE(c().lblStatus[1]->text(),
                     QStringLiteral("Last Data Received:12/5/2026 9:34:51 PM - Sock State:2 - "
                                    "Port:%1 - Remote IP:127.0.0.1")
                         .arg(port));
        QTest::mouseClick(c().btnDisconnect, Qt::LeftButton);
        QTRY_COMPARE(c().lblStatus[1]->text(),
                     QStringLiteral("Last Data Received:12/5/2026 9:34:51 PM - Sock State:0 "
                                    "(Not Connected)"));
    }

    void socketError_stopsListenerAndShowsIt()
    {
        start(true);
        m_window->listener().listenSock_Error(1, 10053, QStringLiteral("Software caused connection abort."),
                                              QStringLiteral("listenSock"));
        QCOMPARE(c().lblStatus[0]->text(),
                 QStringLiteral("Connection closed because of error:\r\n10053 - Software caused "
                                "connection abort."));
        QCOMPARE(element(0)->State(), int(SocketControl::Closed));
        QTRY_COMPARE(c().lblStatus[0]->text(), QStringLiteral("Not Connected"));
    }

    void portBox_normalisesTyping()
    {
        c().txtListenPort->clear();
        QTest::keyClicks(c().txtListenPort, QStringLiteral("8080x"));
        QCOMPARE(c().txtListenPort->text(), QStringLiteral("8080"));
    }

    void close_withPeer_closesConnectionAndSaves()
    {
        const quint16 port = start(true);
        auto peer = connectPeer(port);
        QTRY_COMPARE(c().listenSock->Count(), 2);
        QFile::remove(settingsFile());
        m_window->close();
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(element(0)->State(), int(SocketControl::Closed));
        QVERIFY(QFile::exists(settingsFile()));
    }
};

QTEST_MAIN(tst_Listener)
#include "tst_listener.moc"
