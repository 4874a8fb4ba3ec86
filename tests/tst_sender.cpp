#include "app/main_window.h"
#include "app/received_data_box.h"
#include "listener/listener.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "runtime/date_time_text.h"
#include "sender/sender.h"
#include "support/window_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkDatagram>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

namespace {

const QString Loopback = QStringLiteral("127.0.0.1");

// A full-layout window on a scratch folder with a hand-set clock, aimed at loopback before
// anything else happens, so no test ever sends to the design-time address.
struct Fixture {
    WindowFixture base;
    FakeClock &clock = base.clock();

    Fixture() {
        controls().txtSendIP->setText(Loopback);
        base.window().Form_KeyPress('~');
        base.window().show();
    }

    MainWindow &window() { return base.window(); }
    Controls &controls() { return base.controls(); }
    void setTarget(const QString &host, quint16 port) {
        controls().txtSendIP->setText(host);
        controls().txtListenPort->setText(QString::number(port));
    }
    void useUdp() { controls().optTCP[1]->setChecked(true); }
    void clickSend() { QTest::mouseClick(controls().btnSendData, Qt::LeftButton); }
    QString lastSend(const QString &suffix = {}) const {
        return QStringLiteral("Last Data Sent: ") + dateTimeText(clock.now()) + suffix;
    }
    QString lastSendLine() { return controls().lblStatus[2]->text(); }

    // Starts the listener on the given port (0: one the system picks) and answers its port.
    int startListener(quint16 port = 0) {
        controls().txtListenPort->setText(QString::number(port));
        QTest::mouseClick(controls().btnConnect, Qt::LeftButton);
        SocketControl *listener = controls().listenSock->element(0);
        return listener ? listener->LocalPort() : 0;
    }
};

// Answers every message box that opens while it lives, remembering what it showed.
class BoxCloser : public QObject {
public:
    BoxCloser() {
        connect(&m_timer, &QTimer::timeout, this, &BoxCloser::closeOpenBox);
        m_timer.start(20);
    }

    QStringList texts;
    QStringList titles;
    QList<int> buttonCounts;
    QList<QMessageBox::Icon> icons;

private:
    void closeOpenBox() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        texts << box->text();
        titles << box->windowTitle();
        buttonCounts << int(box->buttons().size());
        icons << box->icon();
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
    }

    QTimer m_timer;
};

const QString CouldntConnect = QStringLiteral(" - ERROR: Data Not Sent, Couldn't Connect To Host");
const QString CouldntOpenUdp = QStringLiteral(" - ERROR: Data Not Sent, Couldn't Open UDP Port");
const QString NoActiveConnection =
    QStringLiteral(" - ERROR: Data Not Sent, No Active TCP Connection");
const QString SendFailed = QStringLiteral(" - ERROR: Data Not Sent, Send Failed");

// A loopback peer that keeps what arrives: one entry per TCP connection (its bytes) or per
// datagram.
class LoopbackPeer : public QObject {
public:
    bool open(bool tcp, const QHostAddress &address) {
        if (!tcp) {
            connect(&m_udp, &QUdpSocket::readyRead, this, [this] {
                while (m_udp.hasPendingDatagrams())
                    arrived << m_udp.receiveDatagram().data();
            });
            return m_udp.bind(address, 0);
        }
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *peer = m_server.nextPendingConnection()) {
                const qsizetype index = arrived.size();
                arrived << QByteArray();
                connect(peer, &QTcpSocket::readyRead, this,
                        [this, peer, index] { arrived[index] += peer->readAll(); });
            }
        });
        return m_server.listen(address);
    }
    quint16 port() const {
        return m_server.isListening() ? m_server.serverPort() : m_udp.localPort();
    }

    QList<QByteArray> arrived;

private:
    QTcpServer m_server;
    QUdpSocket m_udp;
};

// A port nobody listens on: bound by us, then released.
quint16 closedTcpPort() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

quint16 freeUdpPort() {
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, 0))
        return 0;
    return socket.localPort();
}

} // namespace

class tst_Sender : public QObject {
    Q_OBJECT

private slots:
    void tcpClient_hostAnswers_answersAppendedDuringLinger();
    void clientSend_loopbackPeer_receivesTextOnce_data();
    void clientSend_loopbackPeer_receivesTextOnce();
    void clientSend_badPortText_failsWithoutTouchingPreviousPort_data();
    void clientSend_badPortText_failsWithoutTouchingPreviousPort();
    void tcpClient_refused_showsErrorBoxAndFails();
    void tcpClient_unresolvableHost_fails();
    void udpClient_datagramTooLarge_reportsSendFailed();
    void tcpClient_buttonDisabledWhileSending();
    void tcpClient_windowClosedDuringWait_endsQuietly();
    void peerReply_connectedPeer_receivesTextAndButtonFollowsPeer();
    void peerReply_noPeer_reportsNoActiveConnection();
    void udpListener_answersPeerWhileClientSendWaits();
    void sendSockError_showsDeferredBoxWithExactText();
};

void tst_Sender::tcpClient_hostAnswers_answersAppendedDuringLinger() {
    Fixture f;
    QTcpServer server;
    QVERIFY2(server.listen(QHostAddress::LocalHost), qPrintable(server.errorString()));
    QByteArray received;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *peer = server.nextPendingConnection();
        connect(peer, &QTcpSocket::readyRead, peer, [&, peer] {
            received += peer->readAll();
            peer->write("one");
            peer->flush();
            QTimer::singleShot(100, peer, [peer] {
                peer->write("two");
                peer->flush();
            });
        });
    });
    f.setTarget(Loopback, server.serverPort());
    f.controls().txtNetData->setText(QStringLiteral("before|"));
    f.controls().txtSendData->setPlainText(QStringLiteral("ping"));

    f.clickSend();

    QCOMPARE(received, QByteArray("ping"));
    QCOMPARE(f.controls().txtNetData->text(), QStringLiteral("before|onetwo"));
    QCOMPARE(f.lastSendLine(), f.lastSend());
    QCOMPARE(f.controls().sendSock->State(), int(SocketControl::Closed));
    QVERIFY(f.controls().btnSendData->isEnabled());
}

void tst_Sender::clientSend_loopbackPeer_receivesTextOnce_data() {
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("text");

    const QString typed = QStringLiteral("Grüße\n\tline two ");
    QTest::newRow("tcp text") << true << Loopback << typed;
    QTest::newRow("tcp empty") << true << Loopback << QString();
    QTest::newRow("tcp blanks around host") << true << QStringLiteral("  127.0.0.1 ") << typed;
    QTest::newRow("tcp ipv6") << true << QStringLiteral("::1") << typed;
    QTest::newRow("udp text") << false << Loopback << typed;
    QTest::newRow("udp empty") << false << Loopback << QString();
    QTest::newRow("udp blanks around host") << false << QStringLiteral(" 127.0.0.1  ") << typed;
    QTest::newRow("udp ipv6") << false << QStringLiteral("::1") << typed;
}

void tst_Sender::clientSend_loopbackPeer_receivesTextOnce() {
    QFETCH(bool, tcp);
    QFETCH(QString, host);
    QFETCH(QString, text);

    Fixture f;
    LoopbackPeer peer;
    QVERIFY(peer.open(tcp, QHostAddress(host.trimmed())));
    const quint16 port = peer.port();
    if (!tcp)
        f.useUdp();
    f.setTarget(host, port);
    f.controls().txtListenPort->setText(QLatin1Char(' ') + QString::number(port)
                                        + QLatin1Char(' '));
    f.controls().txtSendData->setPlainText(text);

    f.clickSend();
    QTest::qWait(100);

    QCOMPARE(peer.arrived.size(), 1);
    QCOMPARE(peer.arrived.first(), text.toUtf8());
    QCOMPARE(f.lastSendLine(), f.lastSend());
    QCOMPARE(f.controls().sendSock->State(), int(SocketControl::Closed));
    QVERIFY(f.controls().btnSendData->isEnabled());
}

void tst_Sender::clientSend_badPortText_failsWithoutTouchingPreviousPort_data() {
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QString>("portText");

    for (const bool tcp : {true, false}) {
        const char *kind = tcp ? "tcp " : "udp ";
        for (const char *text : {"0", "65536", "-1", "abc", "99999999999"})
            QTest::addRow("%s%s", kind, text) << tcp << QString::fromLatin1(text);
    }
}

// The first send leaves the good port in sendSock; the bad text must not reuse it.
void tst_Sender::clientSend_badPortText_failsWithoutTouchingPreviousPort() {
    QFETCH(bool, tcp);
    QFETCH(QString, portText);

    Fixture f;
    BoxCloser boxes;
    LoopbackPeer peer;
    QVERIFY(peer.open(tcp, QHostAddress::LocalHost));
    const quint16 port = peer.port();
    if (!tcp)
        f.useUdp();
    f.setTarget(Loopback, port);
    f.controls().txtSendData->setPlainText(QStringLiteral("x"));
    f.clickSend();
    QTRY_COMPARE(peer.arrived.size(), 1);
    const QString goodLine = f.lastSendLine();
    f.controls().txtNetData->setText(QStringLiteral("earlier"));

    f.clock.advance(60 * 1000);
    f.controls().txtListenPort->setText(portText);
    f.clickSend();
    QTest::qWait(200);

    QCOMPARE(peer.arrived.size(), 1);
    if (tcp) {
        QCOMPARE(f.lastSendLine(), f.lastSend(CouldntConnect));
    } else {
        QCOMPARE(f.controls().txtNetData->text(), f.lastSend(CouldntOpenUdp));
        QCOMPARE(f.lastSendLine(), goodLine);
    }
    QCOMPARE(f.controls().sendSock->State(), int(SocketControl::Closed));
    QVERIFY(f.controls().btnSendData->isEnabled());
    QVERIFY(boxes.texts.isEmpty());
}

void tst_Sender::tcpClient_refused_showsErrorBoxAndFails() {
    Fixture f;
    BoxCloser boxes;
    const quint16 port = closedTcpPort();
    QVERIFY(port != 0);
    f.setTarget(Loopback, port);
    f.controls().txtSendData->setPlainText(QStringLiteral("hello"));

    f.clickSend();

    QCOMPARE(f.lastSendLine(), f.lastSend(CouldntConnect));
    QCOMPARE(boxes.texts.size(), 1);
    QVERIFY2(boxes.texts.first().startsWith(QStringLiteral("SendSock Error #10061:")),
             qPrintable(boxes.texts.first()));
    QVERIFY(boxes.texts.first().contains(QStringLiteral("\r\n\r\nSource:")));
    QCOMPARE(boxes.titles.first(), QStringLiteral("KVX Sendrel"));
    QCOMPARE(boxes.buttonCounts.first(), 1);
    QCOMPARE(boxes.icons.first(), QMessageBox::NoIcon);
    QCOMPARE(f.controls().sendSock->State(), int(SocketControl::Closed));
    QVERIFY(f.controls().btnSendData->isEnabled());
}

void tst_Sender::tcpClient_unresolvableHost_fails() {
    Fixture f;
    BoxCloser boxes;
    f.setTarget(QStringLiteral("no-such-host.invalid"), closedTcpPort());
    f.controls().txtSendData->setPlainText(QStringLiteral("hello"));

    f.clickSend();

    QCOMPARE(f.lastSendLine(), f.lastSend(CouldntConnect));
    QCOMPARE(f.controls().sendSock->State(), int(SocketControl::Closed));
    QVERIFY(f.controls().btnSendData->isEnabled());
}

void tst_Sender::udpClient_datagramTooLarge_reportsSendFailed() {
    Fixture f;
    BoxCloser boxes;
    LoopbackPeer peer;
    QVERIFY(peer.open(false, QHostAddress::LocalHost));
    f.useUdp();
    f.setTarget(Loopback, peer.port());
    f.controls().txtSendData->setPlainText(QString(70000, QLatin1Char('x')));

    f.clickSend();
    QTest::qWait(100);

    QVERIFY(peer.arrived.isEmpty());
    QCOMPARE(f.lastSendLine(), f.lastSend(SendFailed));
    QVERIFY(f.controls().btnSendData->isEnabled());
}

void tst_Sender::tcpClient_buttonDisabledWhileSending() {
    Fixture f;
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    f.setTarget(Loopback, server.serverPort());
    QList<bool> enabledDuringSend;
    QStringList statesDuringSend;
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] {
        enabledDuringSend << f.controls().btnSendData->isEnabled();
        statesDuringSend << f.controls().lblSendState->text();
    });
    probe.start(20);

    f.clickSend();
    probe.stop();

    QVERIFY(!enabledDuringSend.isEmpty());
    QVERIFY(!enabledDuringSend.contains(true));
    QVERIFY(statesDuringSend.contains(QStringLiteral("7")));
    QVERIFY(f.controls().btnSendData->isEnabled());
}

void tst_Sender::tcpClient_windowClosedDuringWait_endsQuietly() {
    Fixture f;
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    f.setTarget(Loopback, server.serverPort());
    QPointer<MainWindow> window = &f.window();
    QTimer::singleShot(100, this, [&] { f.base.reopen(); });

    window->sender().btnSendData_Click();

    QVERIFY(window.isNull());
}

void tst_Sender::peerReply_connectedPeer_receivesTextAndButtonFollowsPeer() {
    Fixture f;
    const int port = f.startListener();
    QVERIFY(port > 0);
    QTRY_VERIFY(!f.controls().btnSendData->isEnabled());

    QTcpSocket peer;
    QByteArray received;
    connect(&peer, &QTcpSocket::readyRead, this, [&] { received += peer.readAll(); });
    peer.connectToHost(QHostAddress::LocalHost, quint16(port));
    QTRY_VERIFY(f.controls().btnSendData->isEnabled());
    QCOMPARE(f.controls().lblSendIP->text(),
             QStringLiteral("TCP Server Mode Send IP Address: 127.0.0.1"));

    f.controls().txtSendData->setPlainText(QStringLiteral("to the peer"));
    f.clickSend();

    QCOMPARE(f.lastSendLine(), f.lastSend());
    QTRY_COMPARE(received, QByteArray("to the peer"));
    QCOMPARE(f.controls().sendSock->State(), int(SocketControl::Closed));

    peer.disconnectFromHost();
    QTRY_VERIFY(!f.controls().btnSendData->isEnabled());
    QCOMPARE(f.controls().lblSendIP->text(),
             QStringLiteral("TCP Server Mode Send IP Address: Unavailable, no current connection"));
}

void tst_Sender::peerReply_noPeer_reportsNoActiveConnection() {
    Fixture f;
    QVERIFY(f.startListener() > 0);

    QTest::ignoreMessage(QtInfoMsg, "listensock(0).state=2   listensock.count=1");
    f.window().sender().btnSendData_Click();

    QCOMPARE(f.lastSendLine(), f.lastSend(NoActiveConnection));
}

// In UDP listening mode a click takes the client path to the listening port, and the listener
// keeps serving while that send waits.
void tst_Sender::udpListener_answersPeerWhileClientSendWaits() {
    Fixture f;
    f.useUdp();
    f.controls().chkEnableAutoRespond->setChecked(true);
    f.controls().txtWatchString[0]->setText(QStringLiteral("ping"));
    f.controls().txtResponseString[0]->setText(QStringLiteral("pong"));
    // The client send goes to the port in the box, so the box must name the real port.
    const quint16 port = freeUdpPort();
    QVERIFY(port != 0);
    QCOMPARE(f.startListener(port), int(port));
    QVERIFY(f.controls().btnSendData->isEnabled());

    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    QByteArray answer;
    bool sendWaitingWhenAnswered = false;
    connect(&peer, &QUdpSocket::readyRead, this, [&] {
        while (peer.hasPendingDatagrams())
            answer += peer.receiveDatagram().data();
        sendWaitingWhenAnswered = !f.controls().btnSendData->isEnabled();
    });
    QTimer::singleShot(50, this,
                       [&] { peer.writeDatagram("ping", QHostAddress::LocalHost, port); });
    f.controls().txtSendData->setPlainText(QStringLiteral("self"));

    f.clickSend();

    QCOMPARE(answer, QByteArray("pong\r\n"));
    QVERIFY(sendWaitingWhenAnswered);
    QVERIFY(f.controls().txtNetData->text().contains(QStringLiteral("self")));
    QCOMPARE(f.lastSendLine(), f.lastSend());
}

void tst_Sender::sendSockError_showsDeferredBoxWithExactText() {
    Fixture f;

    f.window().sender().sendSock_Error(5, QStringLiteral("Access denied"),
                                       QStringLiteral("sendSock"));
    QVERIFY(!QApplication::activeModalWidget());

    BoxCloser boxes;
    QTRY_COMPARE(boxes.texts.size(), 1);
    QCOMPARE(boxes.texts.first(),
             QStringLiteral("SendSock Error #5:Access denied\r\n\r\nSource:sendSock"));
    QCOMPARE(boxes.titles.first(), QStringLiteral("KVX Sendrel"));
}

QTEST_MAIN(tst_Sender)
#include "tst_sender.moc"
