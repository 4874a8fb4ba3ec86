#include "app/received_data_box.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "runtime/date_time_text.h"
#include "sender/sender.h"
#include "support/window_fixture.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

static const QString Loopback = QStringLiteral("127.0.0.1");

// A loopback peer that keeps what arrives: one entry per TCP connection or per datagram. Over TCP
// it answers "one" at once and "two" a moment later.
class LoopbackPeer : public QObject {
public:
    explicit LoopbackPeer(bool tcp, const QHostAddress &host = QHostAddress::LocalHost) {
        connect(&udp, &QUdpSocket::readyRead, this, [this] {
            while (udp.hasPendingDatagrams())
                arrived << udp.receiveDatagram().data();
        });
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *peer = server.nextPendingConnection();
            arrived << QByteArray();
            connect(peer, &QTcpSocket::readyRead, this, [this, peer, i = arrived.size() - 1] {
                arrived[i] += peer->readAll();
                peer->write("one");
                QTimer::singleShot(100, peer, [peer] { peer->write("two"); });
            });
        });
        tcp ? server.listen(host) : udp.bind(host, 0);
    }
    quint16 port() const { return server.isListening() ? server.serverPort() : udp.localPort(); }

    QList<QByteArray> arrived;
    QTcpServer server;
    QUdpSocket udp;
};

class tst_Sender : public QObject {
    Q_OBJECT

    std::unique_ptr<WindowFixture> m_f;
    QTimer m_boxCloser;
    QStringList m_boxes; // title and text of every message box the test closed

    Controls &c() { return m_f->controls(); }
    QString lastSendLine() { return c().lblStatus[2]->text(); }
    QString lastSend(const char *error = nullptr) const {
        return "Last Data Sent: " + dateTimeText(m_f->clock().now())
               + (error ? QStringLiteral(" - ERROR: Data Not Sent, ") + error : QString());
    }
    void setTarget(const QString &host, quint16 port, bool tcp = true) {
        c().optTCP[tcp ? 0 : 1]->setChecked(true);
        c().txtSendIP->setText(host);
        c().txtListenPort->setText(' ' + QString::number(port) + ' ');
    }
    void send(const QString &text) {
        c().txtSendData->setPlainText(text);
        QTest::mouseClick(c().btnSendData, Qt::LeftButton);
    }
    // The send has ended and another may start.
    bool idle() {
        return c().sendSock->State() == SocketControl::Closed && c().btnSendData->isEnabled();
    }
    int startListener(quint16 port = 0) {
        c().txtListenPort->setText(QString::number(port));
        QTest::mouseClick(c().btnConnect, Qt::LeftButton);
        return c().listenSock->element(0)->LocalPort();
    }

private slots:
    void initTestCase() {
        connect(&m_boxCloser, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                m_boxes << box->windowTitle() + '|' + box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        m_boxCloser.start(20);
    }
    void init() {
        m_boxes.clear();
        m_f = std::make_unique<WindowFixture>();
        // Aimed at loopback before anything else, so nothing goes to the design-time address.
        c().txtSendIP->setText(Loopback);
        m_f->window().Form_KeyPress('~');
        m_f->window().show();
    }
    void cleanup() { m_f.reset(); }

    void clientSend_data() {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("bad"); // then a send to this port, or "@" host, must fail
        QTest::addColumn<QString>("box"); // the error that failure shows in a box; null: none
        const QString typed = QStringLiteral("Grüße\n\tline two "), none, blanks = "  127.0.0.1 ";
        const QString notFound = "11001:Host not found.";
        // clang-format off
        for (bool tcp : {true, false}) {
            const char *kind = tcp ? "tcp" : "udp";
            QTest::addRow("%s text", kind) << tcp << Loopback << typed << none << none;
            QTest::addRow("%s empty", kind) << tcp << Loopback << none << none << none;
            QTest::addRow("%s blanks", kind) << tcp << blanks << typed << none << none;
            QTest::addRow("%s ipv6", kind) << tcp << QString("::1") << typed << none << none;
            for (const char *port : {"0", "65536", "-1", "abc", "99999999999"})
                QTest::addRow("%s port %s", kind, port) << tcp << Loopback << typed << port << none;
        }
        const QString closed = QString::number(LoopbackPeer(true).port());
        QTest::newRow("tcp refused") << true << Loopback << typed << closed << "10061:Connection refused.";
        QTest::newRow("tcp long host") << true << Loopback << typed << "@" + QString(300, 'a') << notFound;
        QTest::newRow("tcp unresolvable") << true << Loopback << typed << "@x.invalid" << notFound;
        // clang-format on
    }
    // One connection or datagram with exactly the text; blanks around host and port are ignored.
    // An answer is shown even when it comes during the linger; the button stays off meanwhile.
    // Then a bad target fails without reusing the good port the first send left in sendSock.
    void clientSend() {
        QFETCH(bool, tcp);
        QFETCH(QString, host);
        QFETCH(QString, text);
        QFETCH(QString, bad);
        QFETCH(QString, box);
        LoopbackPeer peer(tcp, QHostAddress(host.trimmed()));
        setTarget(host, peer.port(), tcp);
        c().txtNetData->setText(QStringLiteral("before|"));
        bool enabledMeanwhile = false;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this,
                [&] { enabledMeanwhile |= c().btnSendData->isEnabled(); });
        probe.start(20);
        send(text);
        QVERIFY(!enabledMeanwhile);
        QCOMPARE(c().txtNetData->text(), tcp && !text.isEmpty() ? "before|onetwo" : "before|");
        QTest::qWait(100);
        QCOMPARE(peer.arrived, QList<QByteArray>{text.toUtf8()});
        const QString goodLine = lastSend();
        QCOMPARE(lastSendLine(), goodLine);
        QVERIFY(idle());
        if (bad.isNull())
            return;

        c().txtNetData->setText(QStringLiteral("earlier"));
        m_f->clock().advance(60 * 1000);
        const bool badHost = bad.startsWith('@');
        (badHost ? c().txtSendIP : c().txtListenPort)->setText(bad.mid(badHost ? 1 : 0));
        send(text);
        QTest::qWait(200);
        QCOMPARE(peer.arrived.size(), 1);
        QCOMPARE(lastSendLine(), tcp ? lastSend("Couldn't Connect To Host") : goodLine);
        QCOMPARE(c().txtNetData->text(), tcp ? "earlier" : lastSend("Couldn't Open UDP Port"));
        const QString boxText = "KVX Sendrel|SendSock Error #" + box + "\r\n\r\nSource:sendSock";
        QCOMPARE(m_boxes, box.isNull() ? QStringList() : QStringList{boxText});
        QVERIFY(idle());
    }

    // The box opens after the error handler has returned, never inside it.
    void sendSockError_boxDeferred() {
        m_f->window().sender().sendSock_Error(5, "Access denied", "sendSock");
        QVERIFY(m_boxes.isEmpty() && !QApplication::activeModalWidget());
        QTRY_COMPARE(m_boxes, QStringList{"KVX Sendrel|SendSock Error #5:Access denied\r\n\r\n"
                                          "Source:sendSock"});
    }

    void udpSend_refusedBySystem_sendFailed() {
        LoopbackPeer peer(false);
        setTarget(Loopback, peer.port(), false);
        send(QString(70000, 'x')); // larger than any datagram
        QTest::qWait(100);
        QVERIFY(peer.arrived.isEmpty());
        QCOMPARE(lastSendLine(), lastSend("Send Failed"));
    }

    void windowClosedDuringWait_noCrash() {
        LoopbackPeer peer(true);
        setTarget(Loopback, peer.port());
        QPointer<MainWindow> window = &m_f->window();
        QTimer::singleShot(100, this, [this] { m_f->reopen(); });
        window->sender().btnSendData_Click();
        QVERIFY(window.isNull());
    }

    void peerReply_followsPeer() {
        const int port = startListener();
        QTest::ignoreMessage(QtInfoMsg, "listensock(0).state=2   listensock.count=1");
        m_f->window().sender().btnSendData_Click();
        QCOMPARE(lastSendLine(), lastSend("No Active TCP Connection"));
        QTRY_VERIFY(!c().btnSendData->isEnabled());

        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, quint16(port));
        QTRY_VERIFY(c().btnSendData->isEnabled());
        QCOMPARE(c().lblSendIP->text(), "TCP Server Mode Send IP Address: 127.0.0.1");
        send(QStringLiteral("to the peer"));
        QCOMPARE(lastSendLine(), lastSend());
        QTRY_COMPARE(peer.peek(100), QByteArray("to the peer"));

        peer.disconnectFromHost();
        QTRY_VERIFY(!c().btnSendData->isEnabled());
        QCOMPARE(c().lblSendIP->text(),
                 "TCP Server Mode Send IP Address: Unavailable, no current connection");
    }

    // In UDP listening mode a click sends to the listening port itself, and the listener keeps
    // answering while that send waits.
    void udpListener_answersWhileSendWaits() {
        c().chkEnableAutoRespond->setChecked(true);
        c().txtWatchString[0]->setText(QStringLiteral("ping"));
        c().txtResponseString[0]->setText(QStringLiteral("pong"));
        const quint16 port = LoopbackPeer(false).port(); // free again once the peer is gone
        c().optTCP[1]->setChecked(true);
        QCOMPARE(startListener(port), int(port));
        LoopbackPeer peer(false);
        bool waiting = false;
        QTimer::singleShot(50, this, [&] {
            waiting = !c().btnSendData->isEnabled();
            peer.udp.writeDatagram("ping", QHostAddress::LocalHost, port);
        });
        send(QStringLiteral("self"));
        QVERIFY(waiting);
        QCOMPARE(peer.arrived, QList<QByteArray>{"pong\r\n"}); // already here when the send ends
        QVERIFY(c().txtNetData->text().contains(QStringLiteral("self")));
        QCOMPARE(lastSendLine(), lastSend());
    }
};

QTEST_MAIN(tst_Sender)
#include "tst_sender.moc"
