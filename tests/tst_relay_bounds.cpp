// What a relay holds, however many peers it serves: the total its links may keep waiting, the
// number of UDP clients it maps and how long an idle mapping lasts.
#include "listener/relay.h"
#include "listener/relay_way.h"
#include "net/socket_control.h"

#include <QCryptographicHash>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <vector>

namespace {

// A relay on its own, fed by a listener on loopback as the program feeds it.
struct LoneRelay {
    Relay relay;
    SocketControl listener;
    int dropped = 0;
    int refused = 0;
    QStringList notes;

    LoneRelay(qint64 bound, const RelayOptions &options, bool tcp) : relay(bound) {
        relay.setOptions(options);
        QObject::connect(&relay, &Relay::droppedOne, &relay, [this] { ++dropped; });
        QObject::connect(&relay, &Relay::refusedOne, &relay, [this] { ++refused; });
        QObject::connect(&relay, &Relay::note, &relay,
                         [this](const QString &text) { notes.append(text); });
        QObject::connect(&listener, &SocketControl::DataArrival, &relay,
                         [this] { relay.takeDatagram(&listener); });
        QObject::connect(&listener, &SocketControl::ConnectionRequest, &relay,
                         [this](qintptr request) { relay.takeRequest(request); });
        listener.setProtocol(tcp ? SocketControl::TcpProtocol : SocketControl::UdpProtocol);
        if (!tcp)
            listener.setLocalAddress(QHostAddress::LocalHost);
        listener.setLocalPort(0);
        QVERIFY(tcp ? listener.Listen() : listener.Bind());
    }
    ~LoneRelay() { relay.closeAll(); }
    quint16 port() const { return quint16(listener.LocalPort()); }
    qsizetype notesWith(const QString &part) const { return notes.filter(part).size(); }
};

RelayOptions towards(quint16 port) {
    RelayOptions options;
    options.targetHost = QStringLiteral("127.0.0.1");
    options.targetPort = port;
    return options;
}

// A UDP target that answers each datagram with the same bytes, unless told to keep quiet.
struct EchoTarget {
    int got = 0;
    bool echo = true;
    QHostAddress lastFrom;
    quint16 lastPort = 0;
    QUdpSocket socket; // last: it goes first
    EchoTarget() {
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = socket.receiveDatagram();
                ++got;
                lastFrom = datagram.senderAddress();
                lastPort = quint16(datagram.senderPort());
                if (echo)
                    socket.writeDatagram(datagram.data(), lastFrom, lastPort);
            }
        });
    }
};

constexpr char TotalNote[] = "wait in all already";

} // namespace

class TestRelayBounds : public QObject {
    Q_OBJECT

private slots:
    void udpTotal_heldAtMostAndPastItDroppedWithOneNote_data() {
        QTest::addColumn<qint64>("bound");
        QTest::addColumn<int>("ports");
        QTest::addColumn<int>("perPort");
        QTest::addColumn<int>("size");
        QTest::newRow("40 ports, 6000 B each") << qint64(300000) << 40 << 3 << 6000;
        // Each datagram costs its place as well as its byte.
        QTest::newRow("one port, 1 B each") << qint64(6500) << 1 << 150 << 1;
    }
    // A long delay keeps everything waiting: the links together hold at most the total, each
    // datagram past it is counted with one note for the run, and once they have let go the
    // total is free again for a new run (with a note of its own).
    void udpTotal_heldAtMostAndPastItDroppedWithOneNote() {
        QFETCH(qint64, bound);
        QFETCH(int, ports);
        QFETCH(int, perPort);
        QFETCH(int, size);
        EchoTarget target;
        RelayOptions options = towards(target.socket.localPort());
        options.up.delayMinMs = options.up.delayMaxMs = 60000;
        LoneRelay lone(bound, options, false);
        const RelayBudget &budget = lone.relay.budget();
        const qint64 cost = size + RelayWay::PieceOverhead;
        const auto taken = [&] { return int(budget.used() / cost) + lone.dropped; };
        std::vector<std::unique_ptr<QUdpSocket>> clients;
        int sent = 0;
        const auto send = [&](QUdpSocket &client, int count) {
            for (int i = 0; i < count; ++i) {
                client.writeDatagram(QByteArray(size, 'd'), QHostAddress::LocalHost, lone.port());
                if (++sent % 10 == 0) // never more at once than the system surely keeps
                    QTRY_COMPARE_WITH_TIMEOUT(taken(), sent, 20000);
            }
        };
        for (int p = 0; p < ports; ++p) {
            clients.push_back(std::make_unique<QUdpSocket>());
            QVERIFY(clients.back()->bind(QHostAddress::LocalHost, 0));
            send(*clients.back(), perPort);
        }
        QTRY_COMPARE_WITH_TIMEOUT(taken(), sent, 20000);
        const int fits = int(bound / cost);
        QCOMPARE(lone.dropped, sent - fits);
        QVERIFY2(budget.peak() <= bound, qPrintable(QString::number(budget.peak())));
        QCOMPARE(lone.notesWith(QString::fromLatin1(TotalNote)), 1);
        QCOMPARE(target.got, 0);

        lone.relay.closeAll();
        QTRY_COMPARE(budget.used(), 0);
        sent = lone.dropped = 0;
        send(*clients.front(), fits + 1);
        QTRY_COMPARE_WITH_TIMEOUT(taken(), sent, 20000);
        QCOMPARE(lone.dropped, 1);
        QCOMPARE(lone.notesWith(QString::fromLatin1(TotalNote)), 2);
    }

    // One client cannot take the whole total: its own link keeps at most its bound waiting and
    // drops the rest, while the total has room for others.
    void udpLink_heldAtMostItsOwnBound() {
        EchoTarget target;
        RelayOptions options = towards(target.socket.localPort());
        options.up.delayMinMs = options.up.delayMaxMs = 60000;
        LoneRelay lone(RelayBudget::TotalBytes, options, false);
        const RelayBudget &budget = lone.relay.budget();
        constexpr int Size = 60000;
        const qint64 cost = Size + RelayWay::PieceOverhead;
        const int fits = int(RelayWay::DatagramBound / cost);
        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress::LocalHost, 0));
        for (int sent = 1; sent <= fits + 2; ++sent) {
            client.writeDatagram(QByteArray(Size, 'd'), QHostAddress::LocalHost, lone.port());
            QTRY_COMPARE_WITH_TIMEOUT(int(budget.used() / cost) + lone.dropped, sent, 20000);
        }
        QCOMPARE(lone.dropped, 2);
        QCOMPARE(budget.used(), fits * cost);
        QCOMPARE(lone.notesWith(QString::fromLatin1(TotalNote)), 0);
        QCOMPARE(target.got, 0);
    }

    // A TCP side is never dropped from: past the total its pair stops reading, and every byte
    // arrives once the delay has let the earlier ones go.
    void tcpTotal_pausesReadingAndDropsNothing() {
        const qint64 bound = 256 << 10;
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QByteArray atTarget;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [&, peer] { atTarget += peer->readAll(); });
        });
        RelayOptions options = towards(server.serverPort());
        options.up.delayMinMs = options.up.delayMaxMs = 300;
        LoneRelay lone(bound, options, true);
        QByteArray up(3 << 19, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(up.data()),
                                              up.size() / 4);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, lone.port());
        QVERIFY(client.waitForConnected(5000));
        client.write(up);
        QTRY_COMPARE_WITH_TIMEOUT(atTarget.size(), up.size(), 60000);
        QCOMPARE(QCryptographicHash::hash(atTarget, QCryptographicHash::Sha256),
                 QCryptographicHash::hash(up, QCryptographicHash::Sha256));
        // Past the total by one read of the side at most.
        const qint64 oneRead = 256 << 10;
        QVERIFY2(lone.relay.budget().peak() <= bound + oneRead + RelayWay::PieceOverhead,
                 qPrintable(QString::number(lone.relay.budget().peak())));
        QCOMPARE(lone.dropped, 0);
        QCOMPARE(lone.relay.budget().used(), 0);
    }

    // Every client up to the bound is served; the next one is refused, counted and noted.
    void udpMappings_lastServedNextRefused() {
        EchoTarget target;
        LoneRelay lone(RelayBudget::TotalBytes, towards(target.socket.localPort()), false);
        std::vector<std::unique_ptr<QUdpSocket>> clients;
        int answered = 0;
        for (int i = 0; i <= Relay::MaxMappings; ++i) {
            clients.push_back(std::make_unique<QUdpSocket>());
            QUdpSocket *client = clients.back().get();
            QVERIFY(client->bind(QHostAddress::LocalHost, 0));
            connect(client, &QUdpSocket::readyRead, this, [client, &answered] {
                while (client->hasPendingDatagrams())
                    answered += client->receiveDatagram().data() == "hello";
            });
        }
        for (int i = 0; i < Relay::MaxMappings; ++i) {
            clients[std::size_t(i)]->writeDatagram("hello", QHostAddress::LocalHost, lone.port());
            QTRY_COMPARE_WITH_TIMEOUT(answered, i + 1, 10000);
        }
        QCOMPARE(lone.relay.pairsOpen(), Relay::MaxMappings);
        QCOMPARE(lone.refused, 0);
        clients.back()->writeDatagram("hello", QHostAddress::LocalHost, lone.port());
        QTRY_COMPARE(lone.refused, 1);
        QCOMPARE(lone.notesWith(QStringLiteral("256 clients are mapped already")), 1);
        QTest::qWait(300);
        QCOMPARE(answered, Relay::MaxMappings);
        QCOMPARE(target.got, Relay::MaxMappings);
    }

    void udpIdle_data() {
        QTest::addColumn<bool>("targetTalks");
        QTest::newRow("both silent: let go") << false;
        QTest::newRow("target keeps answering: kept") << true;
    }
    // A mapping lasts while either side talks, and is let go once both have been silent for
    // the idle time.
    void udpIdle() {
        QFETCH(bool, targetTalks);
        EchoTarget target;
        RelayOptions options = towards(target.socket.localPort());
        options.udpIdleMs = 2000;
        LoneRelay lone(RelayBudget::TotalBytes, options, false);
        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress::LocalHost, 0));
        int heard = 0;
        connect(&client, &QUdpSocket::readyRead, this, [&] {
            while (client.hasPendingDatagrams())
                heard += !client.receiveDatagram().data().isEmpty();
        });
        client.writeDatagram("hello", QHostAddress::LocalHost, lone.port());
        QTRY_COMPARE(heard, 1);
        QCOMPARE(lone.relay.pairsOpen(), 1);
        int told = 1;
        QTimer talk;
        connect(&talk, &QTimer::timeout, this, [&] {
            target.socket.writeDatagram("tick", target.lastFrom, target.lastPort);
            ++told;
        });
        if (targetTalks) {
            talk.start(200);
            QTest::qWait(2 * options.udpIdleMs + 1500);
            QCOMPARE(lone.relay.pairsOpen(), 1);
            talk.stop();
            QTRY_COMPARE(heard, told);
        }
        QTRY_COMPARE_WITH_TIMEOUT(lone.relay.pairsOpen(), 0, 15000);
    }
};

QTEST_GUILESS_MAIN(TestRelayBounds)
#include "tst_relay_bounds.moc"
