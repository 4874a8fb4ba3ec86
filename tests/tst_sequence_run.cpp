// Sequences run in this process against targets it controls: one that cannot be connected to
// yet, and one that closes its connection mid-run.
#include "sender/sequence_run.h"
#include "settings/packet_book.h"

#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// A loopback TCP listener whose queue is full, so a connect to it waits (the system sends its
// SYN again a second later, then two) until makeRoom(); then it answers "x" with "y".
class FullListener : public QObject {
public:
    FullListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        const auto *named = reinterpret_cast<sockaddr *>(&address);
        if (::bind(m_fd, named, size) != 0 || ::listen(m_fd, 0) != 0
            || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        port = ntohs(address.sin_port);
        m_filler.connectToHost(QHostAddress::LocalHost, port);
        m_filler.waitForConnected(10000);
    }
    ~FullListener() override { ::close(m_fd); }

    void makeRoom() {
        ::close(::accept(m_fd, nullptr, nullptr));
        auto *notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            auto *peer = new QTcpSocket(this);
            peer->setSocketDescriptor(::accept(m_fd, nullptr, nullptr));
            connect(peer, &QTcpSocket::readyRead, peer, [peer] {
                if (peer->readAll().contains('x'))
                    peer->write("y");
            });
        });
    }

    quint16 port = 0;

private:
    int m_fd = -1;
    QTcpSocket m_filler;
};

// Answers "ping" with "pong"; with `closes`, closes the connection once it has answered.
class PongServer : public QObject {
public:
    explicit PongServer(bool closes) {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this, closes] {
            QTcpSocket *peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, peer, [peer, closes] {
                if (!peer->readAll().contains("ping"))
                    return;
                peer->write("pong");
                if (closes)
                    peer->disconnectFromHost();
            });
        });
    }
    QTcpServer server;
};

} // namespace

class tst_SequenceRun : public QObject {
    Q_OBJECT

    // Runs sequence [s] of `file` to its end, calling `started` as each step starts; its result.
    QString run(const QString &file, const std::function<void(int)> &started = {}) {
        PacketBook book;
        book.read(file);
        if (!book.problems().isEmpty() || !book.find(u"s"_s))
            return book.problems().join(u'\n');
        QHash<QString, qint64> counters;
        SequenceRun run({*book.find(u"s"_s),
                         [&book](const QString &name) { return book.find(name); },
                         {},
                         {},
                         &counters,
                         nullptr,
                         {}});
        bool done = false;
        connect(&run, &SequenceRun::finished, this, [&done] { done = true; });
        connect(&run, &SequenceRun::stepStarted, this,
                [&started](int step) { started ? started(step) : void(); });
        run.start();
        if (!QTest::qWaitFor([&done] { return done; }, 60000))
            return u"not finished"_s;
        return run.result();
    }

private slots:
    // An expect that matched, at once or when its answer came, leaves no time running that
    // could end the send after it while that send's target is still being connected to.
    void expectThenConnecting_data() {
        QTest::addColumn<bool>("atOnce");
        QTest::newRow("matched at once") << true;
        QTest::newRow("matched on arrival") << false;
    }
    void expectThenConnecting() {
        QFETCH(bool, atOnce);
        PongServer pong(false);
        FullListener full;
        QVERIFY(full.port != 0);
        const QString file = u"[ping]\ndata = ping\nto = tcp 127.0.0.1:%1\n"
                             "[x]\ndata = x\nto = tcp 127.0.0.1:%2\n[s]\nstep1 = send ping\n%3"
                             "step3 = expect contains pong within 1000\n"
                             "step4 = send x\nstep5 = expect contains y within 5000\n"_s
                                 .arg(pong.server.serverPort())
                                 .arg(full.port)
                                 .arg(atOnce ? u"step2 = wait 500\n"_s : QString());
        // Room is made once the expect's time has passed; the connect then goes on at the
        // system's next try, three seconds after it began.
        const int expect = atOnce ? 2 : 1;
        const QString result = run(file, [&full, expect](int step) {
            if (step == expect)
                QTimer::singleShot(1300, &full, [&full] { full.makeRoom(); });
        });
        QCOMPARE(result, u"Passed: %1 steps."_s.arg(expect + 3));
    }

    // Only the target's datagrams answer an expect: another port of its host that finds the
    // sequence's port is not heard.
    void udpOnlyTheTargetHeard() {
        QUdpSocket target;
        QUdpSocket stranger;
        QVERIFY(target.bind(QHostAddress::LocalHost, 0));
        QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
        connect(&target, &QUdpSocket::readyRead, this, [&target, &stranger] {
            const QNetworkDatagram ping = target.receiveDatagram();
            const auto back = quint16(ping.senderPort());
            stranger.writeDatagram("pong", ping.senderAddress(), back);
            QTimer::singleShot(200, &target, [&target, ping, back] {
                target.writeDatagram("ok", ping.senderAddress(), back);
            });
        });
        const QString file =
            u"[ping]\ndata = ping\nto = udp 127.0.0.1:%1\n[s]\nstep1 = send "
            "ping\nstep2 = expect contains pong within 1000\n"_s.arg(target.localPort());
        QCOMPARE(run(file), u"Step 2 (expect contains pong within 1000) failed: timed out after "
                            "1000 ms; arrived instead: \"ok\""_s);
    }

    // A target that closes mid-run: the next step that needs it says so, and after which step.
    void targetCloses_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("result");
        QTest::newRow("expect")
            << u"step3 = expect contains more within 20000\n"_s
            << u"Step 3 (expect contains more within 20000) failed: the target closed the "
               "connection after step 2; arrived instead: nothing"_s;
        QTest::newRow("send") << u"step3 = wait 1000\nstep4 = send ping\n"_s
                              << u"Step 4 (send ping) failed: the target closed the connection "
                                 "after step 2"_s;
        QTest::newRow("the next pass")
            << u"step3 = wait 1000\nrepeat = 2\n"_s
            << u"Step 1 of pass 2 (send ping) failed: the target closed the connection after "
               "step 2 of pass 1"_s;
    }
    void targetCloses() {
        QFETCH(QString, steps);
        QFETCH(QString, result);
        PongServer pong(true);
        const QString file =
            u"[ping]\ndata = ping\nto = tcp 127.0.0.1:%1\n[s]\nstep1 = send "
            "ping\nstep2 = expect contains pong within 20000\n"_s.arg(pong.server.serverPort())
            + steps;
        QCOMPARE(run(file), result);
    }
};

QTEST_GUILESS_MAIN(tst_SequenceRun)
#include "tst_sequence_run.moc"
