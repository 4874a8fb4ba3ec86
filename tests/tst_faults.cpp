// Bad input and faults end to end: binary and huge chunks, resets, floods of clients, odd
// datagrams and logs that cannot be written.
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "support/log_entries.h"
#include "support/loopback.h"
#include "support/program_fixture.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>
#include <sys/socket.h>

namespace {

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

} // namespace

class tst_Faults : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ProgramFixture> m_fixture;

    Form &c() { return m_fixture->form(); }
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
        connect(&c().tmrMain, &QTimer::timeout, this, [&ticks] { ++ticks; });

        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        peer.write(flood);
        peer.disconnectFromHost();
        // Served, closed by the peer, and the listener reopened for the next one.
        QTRY_VERIFY_WITH_TIMEOUT(
            loggedData(todaysLog()).size() == flood.size() && c().listenSock->Count() == 1, 60000);
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
        QTRY_COMPARE(c().listenSock->Count(), 1);
        QTRY_VERIFY(c().lblStatus[0]->Text().startsWith(QStringLiteral("Waiting for TCP")));
        QTcpSocket next;
        next.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY(c().listenSock->element(1)
                    && c().listenSock->element(1)->State() == SocketControl::Connected);
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
        QCOMPARE(c().listenSock->Count(), 2);
    }

    void manyClientsAtOnce_firstPeerUnaffected_noDescriptorLeft() {
        const quint16 port = startListener(c(), true);
        answerPingWithPong(c());
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(c().listenSock->Count(), 2);
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
