#include "net/socket_control.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A blocking-connect, non-blocking-read IPv4 client, for what QTcpSocket cannot do (half-close).
class RawClient {
public:
    explicit RawClient(quint16 port) : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(m_fd); }
    Q_DISABLE_COPY_MOVE(RawClient)

    bool connected() const { return m_connected; }
    bool send(const QByteArray &data) const {
        return ::send(m_fd, data.constData(), std::size_t(data.size()), 0) == data.size();
    }
    void shutdownWrite() const { ::shutdown(m_fd, SHUT_WR); }
    // Collects what has arrived; true once the peer has ended the connection.
    bool readToEnd() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                m_received.append(buffer, n);
            else
                return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        }
    }
    QByteArray received() const { return m_received; }

private:
    int m_fd;
    bool m_connected = false;
    QByteArray m_received;
};

quint16 closedTcpPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool hasIPv6Loopback() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHostIPv6, 0);
}

} // namespace

class TestSocketControl : public QObject {
    Q_OBJECT

private slots:
    void setters_data();
    void setters();
    void listenReadsBackThePort();
    void acceptedPeerAddress_data();
    void acceptedPeerAddress();
    void requestNotAcceptedEndsAtOnce();
    void acceptRefusedWhenBusyOrStale();
    void tcpDataArrivesByteExact_data();
    void tcpDataArrivesByteExact();
    void replyReachesHalfClosedPeer();
    void peerCloseKeepsDataReadable();
    void connectPassesStatesToConnected();
    void connectRefusedRaisesError();
    void connectRefusedAtOnce_data();
    void connectRefusedAtOnce();
    void portInUse_data();
    void portInUse();
    void datagramsArriveOneEventEach_data();
    void datagramsArriveOneEventEach();
    void burstOfDatagrams();
    void udpAnswersTheSender();
    void udpClientSendsToRemoteHost_data();
    void udpClientSendsToRemoteHost();
    void oversizeDatagramFails();
    void closeInsideOwnDataArrival_data();
    void closeInsideOwnDataArrival();
    void rebindInsideDataArrival();

private:
    // A listener with a connected, accepted peer: `server` accepts into `accepted`.
    struct TcpPair {
        SocketControl listener;
        SocketControl accepted;
        QTcpSocket client;
    };
    static bool makePair(TcpPair &pair);
};

bool TestSocketControl::makePair(TcpPair &pair) {
    if (!pair.listener.Listen())
        return false;
    connect(&pair.listener, &SocketControl::ConnectionRequest, &pair.accepted,
            [&pair](qintptr id) { pair.accepted.Accept(id); });
    pair.client.connectToHost(QHostAddress::LocalHost, quint16(pair.listener.LocalPort()));
    return QTest::qWaitFor([&] {
        return pair.accepted.State() == SocketControl::Connected
               && pair.client.state() == QAbstractSocket::ConnectedState;
    });
}

void TestSocketControl::setters_data() {
    QTest::addColumn<QString>("property");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("local port 0") << "LocalPort" << 0 << true;
    QTest::newRow("local port 65535") << "LocalPort" << 65535 << true;
    QTest::newRow("local port 65536") << "LocalPort" << 65536 << false;
    QTest::newRow("local port -1") << "LocalPort" << -1 << false;
    QTest::newRow("remote port 65536") << "RemotePort" << 65536 << false;
    QTest::newRow("remote port -1") << "RemotePort" << -1 << false;
    QTest::newRow("protocol 2") << "Protocol" << 2 << false;
    QTest::newRow("protocol UDP") << "Protocol" << 1 << true;
}

void TestSocketControl::setters() {
    QFETCH(QString, property);
    QFETCH(int, value);
    QFETCH(bool, accepted);

    SocketControl control;
    control.setLocalPort(7000);
    control.setRemotePort(7000);
    if (property == "LocalPort") {
        QCOMPARE(control.setLocalPort(value), accepted);
        QCOMPARE(control.LocalPort(), accepted ? value : 7000);
    } else if (property == "RemotePort") {
        QCOMPARE(control.setRemotePort(value), accepted);
        QCOMPARE(control.RemotePort(), accepted ? value : 7000);
    } else {
        QCOMPARE(control.setProtocol(value), accepted);
        QCOMPARE(control.Protocol(), accepted ? value : 0);
    }
}

void TestSocketControl::listenReadsBackThePort() {
    SocketControl control;
    QVERIFY(control.Listen());
    QCOMPARE(control.State(), int(SocketControl::Listening));
    QVERIFY(control.LocalPort() > 0);
    QVERIFY(!control.setProtocol(SocketControl::UdpProtocol));
    QVERIFY(!control.Listen());

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(control.LocalPort()));
    QVERIFY(client.waitForConnected(5000));

    control.Close();
    QCOMPARE(control.State(), int(SocketControl::Closed));
    QCOMPARE(control.LocalPort(), 0);
}

void TestSocketControl::acceptedPeerAddress_data() {
    QTest::addColumn<QHostAddress>("client");
    QTest::addColumn<QString>("shown");

    QTest::newRow("IPv4 peer of the dual-stack listener")
        << QHostAddress(QHostAddress::LocalHost) << "127.0.0.1";
    QTest::newRow("IPv6 peer") << QHostAddress(QHostAddress::LocalHostIPv6) << "::1";
}

void TestSocketControl::acceptedPeerAddress() {
    QFETCH(QHostAddress, client);
    QFETCH(QString, shown);
    if (client.protocol() == QAbstractSocket::IPv6Protocol && !hasIPv6Loopback())
        QSKIP("no IPv6 loopback here");

    SocketControl listener;
    SocketControl accepted;
    QVERIFY(listener.Listen());
    QSignalSpy requests(&listener, &SocketControl::ConnectionRequest);
    connect(&listener, &SocketControl::ConnectionRequest, &accepted,
            [&](qintptr id) { QVERIFY(accepted.Accept(id)); });

    QTcpSocket peer;
    peer.connectToHost(client, quint16(listener.LocalPort()));
    QTRY_COMPARE(accepted.State(), int(SocketControl::Connected));
    QCOMPARE(accepted.RemoteHostIP(), shown);
    QCOMPARE(requests.count(), 1);
    QCOMPARE(listener.State(), int(SocketControl::Listening));
    QVERIFY(accepted.SendData("hi"));
    QTRY_COMPARE(peer.bytesAvailable(), qint64(2));
    QCOMPARE(peer.readAll(), QByteArray("hi"));
}

void TestSocketControl::requestNotAcceptedEndsAtOnce() {
    SocketControl listener;
    QVERIFY(listener.Listen());
    QSignalSpy requests(&listener, &SocketControl::ConnectionRequest);

    QTcpSocket peer;
    QSignalSpy ended(&peer, &QAbstractSocket::disconnected);
    peer.connectToHost(QHostAddress::LocalHost, quint16(listener.LocalPort()));
    QTRY_COMPARE(ended.count(), 1);
    QCOMPARE(requests.count(), 1);
    QCOMPARE(listener.State(), int(SocketControl::Listening));
}

void TestSocketControl::acceptRefusedWhenBusyOrStale() {
    TcpPair pair;
    QVERIFY(makePair(pair));

    qintptr lastRequest = -1;
    connect(&pair.listener, &SocketControl::ConnectionRequest, this,
            [&](qintptr id) { lastRequest = id; });
    QTcpSocket second;
    QSignalSpy secondEnded(&second, &QAbstractSocket::disconnected);
    second.connectToHost(QHostAddress::LocalHost, quint16(pair.listener.LocalPort()));
    // The busy slot refuses; the second peer is let go and the first is untouched.
    QTRY_COMPARE(secondEnded.count(), 1);
    QCOMPARE(pair.accepted.State(), int(SocketControl::Connected));

    SocketControl late;
    QVERIFY(lastRequest >= 0);
    QVERIFY(!late.Accept(lastRequest));
    QVERIFY(!late.Accept(-1));
    QCOMPARE(late.State(), int(SocketControl::Closed));
}

void TestSocketControl::tcpDataArrivesByteExact_data() {
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("text") << QByteArray("hello\r\n");
    QTest::newRow("NUL bytes") << QByteArray("a\0b\0", 4);
    QTest::newRow("invalid UTF-8") << QByteArray("\xff\xfe\xc3\x28\xed\xa0\x80\xc0\xaf");
    QTest::newRow("large") << QByteArray(300000, '\0');
}

void TestSocketControl::tcpDataArrivesByteExact() {
    QFETCH(QByteArray, data);

    TcpPair pair;
    QVERIFY(makePair(pair));
    QByteArray received;
    connect(&pair.accepted, &SocketControl::DataArrival, this, [&](qint64 bytesTotal) {
        const QByteArray chunk = pair.accepted.GetData();
        QCOMPARE(chunk.size(), bytesTotal);
        received += chunk;
    });
    pair.client.write(data);
    QTRY_COMPARE(received.size(), data.size());
    QCOMPARE(received, data);
}

void TestSocketControl::replyReachesHalfClosedPeer() {
    SocketControl listener;
    SocketControl accepted;
    QVERIFY(listener.Listen());
    connect(&listener, &SocketControl::ConnectionRequest, &accepted,
            [&](qintptr id) { accepted.Accept(id); });
    const QByteArray reply("HTTP/1.0 404 Not Found\r\nServer: test\r\n\r\n");
    connect(&accepted, &SocketControl::DataArrival, this, [&] {
        if (accepted.GetData().contains("GET"))
            accepted.SendData(reply);
    });

    RawClient client(quint16(listener.LocalPort()));
    QVERIFY(client.connected());
    QVERIFY(client.send("GET / HTTP/1.0\r\n\r\n"));
    client.shutdownWrite();
    QTRY_VERIFY(client.readToEnd());
    QCOMPARE(client.received(), reply);
}

void TestSocketControl::peerCloseKeepsDataReadable() {
    TcpPair pair;
    QVERIFY(makePair(pair));
    QSignalSpy arrivals(&pair.accepted, &SocketControl::DataArrival);

    pair.client.write("bye");
    pair.client.disconnectFromHost();
    QTRY_COMPARE(pair.accepted.State(), int(SocketControl::Closing));
    QVERIFY(!arrivals.isEmpty());
    QCOMPARE(pair.accepted.GetData(), QByteArray("bye"));
    QVERIFY(!pair.accepted.SendData("late"));
    QTest::qWait(50);
    QCOMPARE(pair.accepted.State(), int(SocketControl::Closing));
    pair.accepted.Close();
    QCOMPARE(pair.accepted.State(), int(SocketControl::Closed));
}

void TestSocketControl::connectPassesStatesToConnected() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    SocketControl control;
    control.setRemoteHost("127.0.0.1");
    control.setRemotePort(server.serverPort());

    QVERIFY(control.Connect());
    QList<int> states{control.State()};
    QVERIFY(QTest::qWaitFor([&] {
        if (states.constLast() != control.State())
            states.append(control.State());
        return control.State() == SocketControl::Connected;
    }));
    // A literal address may pass 4, 5 and 6 inside the call already.
    QVERIFY(states.constFirst() >= SocketControl::ResolvingHost);
    QCOMPARE(control.RemoteHostIP(), QString("127.0.0.1"));
    QVERIFY(std::is_sorted(states.begin(), states.end()));

    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket *peer = server.nextPendingConnection();
    QVERIFY(control.SendData("ping"));
    QTRY_COMPARE(peer->bytesAvailable(), qint64(4));
    QCOMPARE(peer->readAll(), QByteArray("ping"));
}

void TestSocketControl::connectRefusedRaisesError() {
    SocketControl control;
    control.setObjectName("sendSock");
    control.setRemoteHost("127.0.0.1");
    control.setRemotePort(closedTcpPort());
    QSignalSpy errors(&control, &SocketControl::Error);
    int stateAtError = -1;
    connect(&control, &SocketControl::Error, this, [&] { stateAtError = control.State(); });

    QVERIFY(control.Connect());
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), 10061);
    QCOMPARE(errors.at(0).at(1).toString(), QString("Connection refused."));
    QCOMPARE(errors.at(0).at(2).toString(), QString("sendSock"));
    QCOMPARE(stateAtError, int(SocketControl::Failed));
    QCOMPARE(control.State(), int(SocketControl::Failed));
    QVERIFY(!control.SendData("x"));
}

void TestSocketControl::connectRefusedAtOnce_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("port 0") << "127.0.0.1" << 0;
    QTest::newRow("empty host") << "" << 7000;
    QTest::newRow("blank host") << "   " << 7000;
}

void TestSocketControl::connectRefusedAtOnce() {
    QFETCH(QString, host);
    QFETCH(int, port);

    SocketControl control;
    control.setRemoteHost(host);
    control.setRemotePort(port);
    QVERIFY(!control.Connect());
    QCOMPARE(control.State(), int(SocketControl::Closed));
}

void TestSocketControl::portInUse_data() {
    QTest::addColumn<int>("protocol");
    QTest::newRow("TCP") << int(SocketControl::TcpProtocol);
    QTest::newRow("UDP") << int(SocketControl::UdpProtocol);
}

void TestSocketControl::portInUse() {
    QFETCH(int, protocol);

    QTcpServer tcpHolder;
    QUdpSocket udpHolder;
    quint16 port = 0;
    if (protocol == SocketControl::TcpProtocol) {
        QVERIFY(tcpHolder.listen(QHostAddress::Any, 0));
        port = tcpHolder.serverPort();
    } else {
        QVERIFY(udpHolder.bind(QHostAddress::LocalHost, 0));
        port = udpHolder.localPort();
    }

    SocketControl control;
    QVERIFY(control.setProtocol(protocol));
    QVERIFY(control.setLocalPort(port));
    const bool opened = protocol == SocketControl::TcpProtocol ? control.Listen() : control.Bind();
    QVERIFY(!opened);
    QCOMPARE(control.State(), int(SocketControl::Closed));
}

void TestSocketControl::datagramsArriveOneEventEach_data() {
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("largest over IPv4") << 65507;
}

void TestSocketControl::datagramsArriveOneEventEach() {
    QFETCH(int, size);

    SocketControl control;
    control.setProtocol(SocketControl::UdpProtocol);
    QVERIFY(control.Bind());
    QCOMPARE(control.State(), int(SocketControl::Open));
    QVERIFY(control.LocalPort() > 0);

    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 7);
    QList<QByteArray> received;
    QList<qint64> announced;
    connect(&control, &SocketControl::DataArrival, this, [&](qint64 bytesTotal) {
        announced.append(bytesTotal);
        received.append(control.GetData());
    });

    QUdpSocket sender;
    QCOMPARE(sender.writeDatagram(data, QHostAddress::LocalHost, quint16(control.LocalPort())),
             qint64(size));
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received.at(0), data);
    QCOMPARE(announced.at(0), qint64(size));
    QCOMPARE(control.RemoteHostIP(), QString("127.0.0.1"));
}

void TestSocketControl::burstOfDatagrams() {
    SocketControl control;
    control.setProtocol(SocketControl::UdpProtocol);
    QVERIFY(control.Bind());
    QList<QByteArray> received;
    connect(&control, &SocketControl::DataArrival, this,
            [&] { received.append(control.GetData()); });

    QUdpSocket sender;
    const QList<QByteArray> sent{"one", "", "three"};
    for (const QByteArray &data : sent)
        sender.writeDatagram(data, QHostAddress::LocalHost, quint16(control.LocalPort()));
    QTRY_COMPARE(received.size(), sent.size());
    QCOMPARE(received, sent);
}

void TestSocketControl::udpAnswersTheSender() {
    SocketControl control;
    control.setProtocol(SocketControl::UdpProtocol);
    QVERIFY(control.Bind());
    connect(&control, &SocketControl::DataArrival, this,
            [&] { QVERIFY(control.SendData("re:" + control.GetData())); });

    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    peer.writeDatagram("ping", QHostAddress::LocalHost, quint16(control.LocalPort()));
    QTRY_VERIFY(peer.hasPendingDatagrams());
    QCOMPARE(peer.receiveDatagram().data(), QByteArray("re:ping"));
}

void TestSocketControl::udpClientSendsToRemoteHost_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("address") << "127.0.0.1";
    QTest::newRow("name, resolved on the way") << "localhost";
}

void TestSocketControl::udpClientSendsToRemoteHost() {
    QFETCH(QString, host);

    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));

    SocketControl control;
    control.Close();
    QVERIFY(control.setProtocol(SocketControl::UdpProtocol));
    control.setRemoteHost(host);
    control.setRemotePort(receiver.localPort());
    QVERIFY(control.Bind());
    QVERIFY(control.SendData("hello"));
    QTRY_VERIFY(receiver.hasPendingDatagrams());
    QCOMPARE(receiver.receiveDatagram().data(), QByteArray("hello"));
    QCOMPARE(control.State(), int(SocketControl::Open));
}

void TestSocketControl::oversizeDatagramFails() {
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
    SocketControl control;
    control.setProtocol(SocketControl::UdpProtocol);
    control.setRemoteHost("127.0.0.1");
    control.setRemotePort(receiver.localPort());
    QVERIFY(control.Bind());

    QVERIFY(!control.SendData(QByteArray(65508, 'x')));
    QVERIFY(control.SendData(QByteArray(65507, 'x')));
    QTRY_VERIFY(receiver.hasPendingDatagrams());
    QCOMPARE(receiver.pendingDatagramSize(), qint64(65507));
}

void TestSocketControl::closeInsideOwnDataArrival_data() {
    QTest::addColumn<int>("protocol");
    QTest::newRow("TCP") << int(SocketControl::TcpProtocol);
    QTest::newRow("UDP") << int(SocketControl::UdpProtocol);
}

void TestSocketControl::closeInsideOwnDataArrival() {
    QFETCH(int, protocol);

    TcpPair pair;
    SocketControl udp;
    SocketControl *control = &pair.accepted;
    if (protocol == SocketControl::TcpProtocol) {
        QVERIFY(makePair(pair));
    } else {
        control = &udp;
        udp.setProtocol(SocketControl::UdpProtocol);
        QVERIFY(udp.Bind());
    }
    int arrivals = 0;
    connect(control, &SocketControl::DataArrival, this, [&] {
        ++arrivals;
        control->GetData();
        control->Close();
        QCOMPARE(control->State(), int(SocketControl::Closed));
        QVERIFY(control->GetData().isEmpty());
    });

    QUdpSocket sender;
    if (protocol == SocketControl::TcpProtocol) {
        pair.client.write("first");
        QTRY_COMPARE(arrivals, 1);
        QTRY_COMPARE(pair.client.state(), QAbstractSocket::UnconnectedState);
    } else {
        for (const char *data : {"first", "second", "third"})
            sender.writeDatagram(data, QHostAddress::LocalHost, quint16(udp.LocalPort()));
        QTRY_COMPARE(arrivals, 1);
    }
    QTest::qWait(50);
    QCOMPARE(arrivals, 1);
    QCOMPARE(control->State(), int(SocketControl::Closed));
}

void TestSocketControl::rebindInsideDataArrival() {
    SocketControl control;
    control.setProtocol(SocketControl::UdpProtocol);
    QVERIFY(control.Bind());
    const quint16 port = quint16(control.LocalPort());
    QVERIFY(control.setLocalPort(port));

    QList<QByteArray> received;
    connect(&control, &SocketControl::DataArrival, this, [&] {
        received.append(control.GetData());
        if (received.size() == 1) {
            control.Close();
            QVERIFY(control.Bind());
        }
    });

    QUdpSocket sender;
    sender.writeDatagram("first", QHostAddress::LocalHost, port);
    sender.writeDatagram("dropped with the old socket", QHostAddress::LocalHost, port);
    QTRY_COMPARE(received.size(), 1);
    QTest::qWait(50);
    sender.writeDatagram("after", QHostAddress::LocalHost, port);
    QTRY_COMPARE(received.size(), 2);
    QCOMPARE(received.at(1), QByteArray("after"));
    QCOMPARE(control.State(), int(SocketControl::Open));
}

QTEST_GUILESS_MAIN(TestSocketControl)
#include "tst_socket_control.moc"
