// Bad input and faults end to end: binary and huge chunks, resets, floods of clients, odd
// datagrams and logs that cannot be written.
#include "listener/listener.h"
#include "listener/receive_handler.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "support/log_entries.h"
#include "support/loopback.h"
#include "support/program_fixture.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

using namespace Qt::Literals::StringLiterals;
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

// A raw peer on loopback whose small receive window keeps most of what is sent to it waiting
// on this side; -1 when it cannot connect.
int smallWindowPeer(quint16 port) {
    const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(peer, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
        return peer;
    ::close(peer);
    return -1;
}

} // namespace

class tst_Faults : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ProgramFixture> m_fixture;

    Form &c() { return m_fixture->form(); }

    Sockets sockets() { return m_fixture->program().sockets(); }
    Configuration &configuration() { return m_fixture->program().configuration(); }
    QString logFolder() const { return m_fixture->folder() + QStringLiteral("/logs/"); }
    QString todaysLog() const { return logFolder() + QStringLiteral("SendrelLog_12052026.txt"); }

    void logTo(const QString &folder) {
        c().chkLogData.setValue(1);
        c().txtLogPath.setText(folder);
    }

private slots:
    void init() { m_fixture = std::make_unique<ProgramFixture>(); }
    void cleanup() { m_fixture.reset(); }

    void binaryChunks_shownAndLoggedByteForByte_data() {
        QTest::addColumn<QByteArray>("chunk");
        QTest::newRow("nul bytes") << QByteArray("a\0b\0", 4);
        QTest::newRow("invalid utf-8") << QByteArray("\xff\xfe\xc3\x28\xed\xa0\x80\xc0\xaf");
        QTest::newRow("empty datagram") << QByteArray();
        QTest::newRow("largest datagram") << QByteArray(65507, '\x01');
    }
    void binaryChunks_shownAndLoggedByteForByte() {
        QFETCH(QByteArray, chunk);
        const quint16 port = startListener(c(), false);
        logTo(logFolder());
        c().txtNetData.setText(QStringLiteral("before"));
        QUdpSocket peer;
        QCOMPARE(peer.writeDatagram(chunk, QHostAddress::LocalHost, port), qint64(chunk.size()));
        QTRY_VERIFY(QFile::exists(todaysLog()));
        QCOMPARE(loggedData(todaysLog()), chunk);
        QCOMPARE(c().txtNetData.text(), QString::fromUtf8(chunk));
    }

    // A chunk far larger than the box holds: the log keeps every byte, the box stays bounded and
    // the window keeps ticking. Memory and speed under floods are the benchmarks' business.
    void hugeChunk_windowKeepsTickingAndLogKeepsEveryByte() {
        QByteArray flood(4 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < flood.size(); ++i)
            flood[i] = char('a' + (i * 7 + i / 4096) % 26); // never '-', so no closing line
        const quint16 port = startListener(c(), true);
        logTo(logFolder());
        int ticks = 0;
        connect(&m_fixture->program().tmrMain(), &QTimer::timeout, this, [&ticks] { ++ticks; });

        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        peer.write(flood);
        peer.disconnectFromHost();
        // Served, closed by the peer, and the listener reopened for the next one.
        QTRY_VERIFY_WITH_TIMEOUT(loggedData(todaysLog()).size() == flood.size()
                                     && sockets().listenSock->Count() == 1,
                                 60000);
        QVERIFY(loggedData(todaysLog()) == flood);
        QVERIFY(ticks > 0);
        QVERIFY(c().txtNetData.text().size() <= 2 * ReceivedData::MinimumKept);
    }

    void peerResetMidTransfer_keepsWhatArrivedAndRecovers() {
        const quint16 port = startListener(c(), true);
        logTo(logFolder());
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peer.waitForConnected(5000));
        peer.write(QByteArray(300000, 'x'));
        QVERIFY(peer.waitForBytesWritten(5000));
        QTRY_COMPARE(loggedData(todaysLog()).size(), 300000);
        const ::linger hard{1, 0};
        ::setsockopt(int(peer.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        peer.abort();
        QTRY_COMPARE(sockets().listenSock->Count(), 1);
        QTRY_VERIFY(c().lblStatus[0]->Text().startsWith(QStringLiteral("Waiting for TCP")));
        QTcpSocket next;
        next.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY(sockets().listenSock->element(1)
                    && sockets().listenSock->element(1)->State() == SocketControl::Connected);
    }

    // Delayed answers are a peer's to multiply: a flood is held to the bound, the rest dropped
    // with one note and counted, and another peer still gets its answers queued.
    void delayedAnswers_floodIsBoundedPerPeer() {
        const quint16 port = startListener(c(), false);
        setPairs(c(), {"x"}, {QString(60000, u'a')});
        configuration().setPairOptions(0, {MatchMode::Contains, false, false, 60000});
        const DelayedAnswers &delayed = m_fixture->program().receiveHandler().delayedAnswers();
        QUdpSocket flood, other;
        QVERIFY(flood.bind(QHostAddress::LocalHost, 0) && other.bind(QHostAddress::LocalHost, 0));
        for (int i = 0; i < 100; ++i) {
            flood.writeDatagram("x", QHostAddress::LocalHost, port);
            QTest::qWait(2);
        }
        QTRY_COMPARE(m_fixture->program().traffic().snapshot().receivedChunks, qint64(100));
        QVERIFY(delayed.pendingBytes() <= DelayedAnswers::PeerBytes);
        const qsizetype held = delayed.pendingCount();
        QCOMPARE(m_fixture->program().traffic().snapshot().droppedAnswers, qint64(100 - held));
        QCOMPARE(c().txtNetData.text().count(u"too many delayed answers"_s), 1);
        other.writeDatagram("x", QHostAddress::LocalHost, port);
        QTRY_COMPARE(delayed.pendingCount(), held + 1);
    }

    // What waited for a TCP peer goes when the peer does, not at its due time.
    void delayedAnswers_peerThatLeftLetsThemGo() {
        const quint16 port = startListener(c(), true);
        setPairs(c(), {"x"}, {"late"});
        configuration().setPairOptions(0, {MatchMode::Contains, false, false, 60000});
        const DelayedAnswers &delayed = m_fixture->program().receiveHandler().delayedAnswers();
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peer.waitForConnected(5000));
        peer.write("x");
        QTRY_COMPARE(delayed.pendingCount(), 1);
        peer.disconnectFromHost();
        QTRY_COMPARE(delayed.pendingCount(), 0);
        QCOMPARE(delayed.pendingBytes(), qint64(0));
    }

    // A peer that never reads its answers loses its own connection; the listener goes on. Only
    // what left is counted and noted as replied; the connection's end is kept in the box and the
    // counters, and what it still held is noted as not sent.
    void tcp_peerThatDoesNotRead_losesOnlyItsConnection() {
        const quint16 port = startListener(c(), true);
        setPairs(c(), {u"PING"_s}, {QString(30000, u'R')});
        QStringList shown;
        connect(c().lblStatus[0], &Control::changed, this,
                [&] { shown << c().lblStatus[0]->Text(); });
        QStringList notes;
        connect(&c().txtNetData, &ReceivedData::noteArrived, this,
                [&](const QString &note) { notes << note; });
        const int peer = smallWindowPeer(port);
        QVERIFY(peer >= 0);
        const QString error = u"10055 - No buffer space available."_s;
        // One request per chunk, each answered, until what waits for the peer passes the bound.
        while (!shown.contains(u"Connection closed because of error:\r\n"_s + error)) {
            const qint64 chunks = m_fixture->program().traffic().snapshot().receivedChunks;
            QVERIFY(chunks < 5000);
            QCOMPARE(::send(peer, "PING", 4, MSG_NOSIGNAL), 4);
            QTRY_COMPARE(m_fixture->program().traffic().snapshot().receivedChunks, chunks + 1);
        }
        QCOMPARE(m_fixture->program().listener().lastError(), error);
        QTRY_COMPARE(c().lblStatus[0]->Text(), u"Waiting for TCP data on port %1"_s.arg(port));
        QVERIFY(c().btnDisconnect.Visible());
        QTRY_VERIFY(notes.last().contains(u"not sent: the connection closed before"_s));
        const QString closed = notes.filter(u"\r\nClosed the connection to 127.0.0.1:"_s).value(0);
        QVERIFY2(closed.endsWith(u" because of error: "_s + error + u" On Sock:1\r\n"_s),
                 qPrintable(closed));
        QVERIFY(c().txtNetData.text().contains(closed));
        const TrafficSnapshot s = m_fixture->program().traffic().snapshot();
        QCOMPARE(s.droppedPeers, qint64(1));
        const qint64 replied = notes.filter(u"Replied to PING"_s).size();
        QCOMPARE(s.pairAnswers[0], replied);
        QCOMPARE(s.sentReplyBytes, replied * 30002);
        QVERIFY(s.unsentBytes >= 30002 && s.sentReplyBytes < 16 << 20);
        ::close(peer);

        QTcpSocket next;
        next.connectToHost(QHostAddress::LocalHost, port);
        next.write("PING");
        QTRY_COMPARE(next.bytesAvailable(), qint64(30002));
    }

    void halfClosedPeer_getsWhatIsOwed_data() {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<int>("replySize");
        QTest::newRow("a delayed answer") << 300 << 4;
        // Far more than the peer's window: most of it leaves after the close.
        QTest::newRow("a large answer still leaving") << 0 << (800 << 10);
    }
    // A peer that sends its request and half-closes, as nc -N does, still reads the answer; the
    // listener takes the next peer once it has left.
    void halfClosedPeer_getsWhatIsOwed() {
        QFETCH(int, delayMs);
        QFETCH(int, replySize);
        const quint16 port = startListener(c(), true);
        setPairs(c(), {u"x"_s}, {QString(replySize, u'R')});
        configuration().setPairOptions(0, {MatchMode::Contains, false, false, delayMs});
        const int peer = smallWindowPeer(port);
        const auto closePeer = qScopeGuard([peer] { ::close(peer); });
        QVERIFY(peer >= 0);
        QCOMPARE(::send(peer, "x", 1, MSG_NOSIGNAL), 1);
        ::shutdown(peer, SHUT_WR);
        // The peer reads only once the listener has had its request and its close.
        QTRY_COMPARE(m_fixture->program().traffic().snapshot().receivedChunks, qint64(1));
        QTest::qWait(100);
        QByteArray received;
        QVERIFY(QTest::qWaitFor(
            [&] {
                char buffer[65536];
                const ssize_t got = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got > 0)
                    received.append(buffer, got);
                return got == 0;
            },
            20000));
        QCOMPARE(received, QByteArray(replySize, 'R'));
        QCOMPARE(m_fixture->program().traffic().snapshot().sentReplyBytes, qint64(replySize));
        QTRY_COMPARE(c().lblStatus[0]->Text(), u"Waiting for TCP data on port %1"_s.arg(port));
    }

    // %PEER% names an IPv6 peer as every line does: in brackets.
    void peerToken_ipv6InBrackets() {
        const quint16 port = startListener(c(), true);
        setPairs(c(), {u"who"_s}, {u"%PEER%"_s});
        configuration().setPairOptions(0, {MatchMode::Contains, false, true, 0});
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHostIPv6, port);
        QVERIFY(peer.waitForConnected(5000));
        peer.write("who");
        QTRY_COMPARE(peer.bytesAvailable() > 0, true);
        QCOMPARE(peer.readAll(), u"[::1]:%1\r\n"_s.arg(peer.localPort()).toUtf8());
    }

    void httpRequestSplitInsideTheMethod_isNotAnswered() {
        c().optReceiveType[1]->setValue(1);
        const quint16 port = startListener(c(), true);
        QTcpSocket peer;
        peer.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        peer.connectToHost(QHostAddress::LocalHost, port);
        peer.write("GE");
        QTRY_COMPARE(c().txtNetData.text(), QStringLiteral("GE"));
        peer.write("T / HTTP/1.0\r\n\r\n");
        QTRY_COMPARE(c().txtNetData.text(), QStringLiteral("GET / HTTP/1.0\r\n\r\n"));
        // Chunks are judged one by one, as they arrive: neither holds the whole method.
        QCOMPARE(peer.bytesAvailable(), qint64(0));
        QCOMPARE(sockets().listenSock->Count(), 2);
    }

    void manyClientsAtOnce_firstPeerUnaffected_noDescriptorLeft() {
        const quint16 port = startListener(c(), true);
        answerPingWithPong(c());
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(sockets().listenSock->Count(), 2);
        const int descriptorsBefore = openDescriptors();

        std::vector<std::unique_ptr<QTcpSocket>> crowd;
        for (int i = 0; i < 200; ++i) {
            crowd.push_back(std::make_unique<QTcpSocket>());
            crowd.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(crowd.begin(), crowd.end(),
                                             [](const auto &s) {
                                                 return s->state()
                                                        == QAbstractSocket::UnconnectedState;
                                             }),
                                 60000);
        crowd.clear();

        first.write("ping");
        QTRY_COMPARE(first.bytesAvailable(), qint64(6));
        QCOMPARE(first.readAll(), QByteArray("pong\r\n"));
        QTRY_COMPARE(openDescriptors(), descriptorsBefore);
    }

    void unwritableLog_dataStillShownAndAnswered_data() {
        QTest::addColumn<QString>("folder"); // below the fixture's; null: the box left empty
        QTest::addColumn<QString>("told");
        QTest::newRow("path through a regular file") << QStringLiteral("settings-is-a-file/logs/")
                                                     << QStringLiteral("SendrelLog_12052026.txt");
        QTest::newRow("full device")
            << QStringLiteral("full/") << QStringLiteral("SendrelLog_12052026.txt");
        QTest::newRow("empty box") << QString() << QStringLiteral("No log folder given");
    }
    void unwritableLog_dataStillShownAndAnswered() {
        QFETCH(QString, folder);
        QFETCH(QString, told);
        QFile plain(m_fixture->folder() + QStringLiteral("/settings-is-a-file"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(QDir(m_fixture->folder()).mkpath(QStringLiteral("full")));
        QFile::link(QStringLiteral("/dev/full"),
                    m_fixture->folder() + QStringLiteral("/full/SendrelLog_12052026.txt"));

        // Set before the start, whose save gives the box its final separator.
        logTo(folder.isNull() ? QString() : m_fixture->folder() + u'/' + folder);
        const quint16 port = startListener(c(), false);
        answerPingWithPong(c());
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        peer.writeDatagram("ping", QHostAddress::LocalHost, port);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("pong\r\n"));
        QVERIFY(c().txtNetData.text().startsWith(QStringLiteral("ping")));
        QVERIFY(c().txtLogPath.toolTip().contains(told));
        QCOMPARE(c().txtLogPath.foreColour(), ForeColour::Error);
        QVERIFY2(!QFile::remove(QStringLiteral("/SendrelLog_12052026.txt")),
                 "logged into the filesystem root");
    }
};

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
