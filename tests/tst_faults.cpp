// Bad input and faults end to end: binary and huge chunks, resets, floods of clients, odd
// datagrams and logs that cannot be written.
#include "form/received_data_box.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "support/loopback.h"
#include "support/window_fixture.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QRadioButton>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <atomic>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int HeaderSize = 98;   // time stamp field, 73 dashes, CR LF
constexpr int TrailerSize = 102; // CR LF, 96 dashes, CR LF CR LF

// The data parts of every entry of a log file, joined. Assumes no chunk holds a closing line.
QByteArray loggedData(const QString &file)
{
    QFile log(file);
    if (!log.open(QIODevice::ReadOnly))
        return "<no log>";
    const QByteArray bytes = log.readAll();
    const QByteArray trailer = "\r\n" + QByteArray(96, '-') + "\r\n\r\n";
    QByteArray data;
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype end = bytes.indexOf(trailer, at + HeaderSize);
        if (end < 0)
            return "<torn entry>";
        data += bytes.mid(at + HeaderSize, end - at - HeaderSize);
        at = end + TrailerSize;
    }
    return data;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

qint64 peakMemoryKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// A byte that is never '-', so the closing line of an entry cannot appear inside the data.
char patternByte(qint64 i)
{
    return char('a' + (i * 7 + i / 4096) % 26);
}

// A blocking peer on its own thread: sends `total` pattern bytes, then closes.
void sendPattern(quint16 port, qint64 total)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        QByteArray block(1 << 20, 0);
        for (qint64 sent = 0; sent < total;) {
            const qint64 size = qMin<qint64>(block.size(), total - sent);
            for (qint64 i = 0; i < size; ++i)
                block[i] = patternByte(sent + i);
            for (qint64 done = 0; done < size;) {
                const ssize_t n = ::send(fd, block.constData() + done, size_t(size - done), 0);
                if (n <= 0) {
                    ::close(fd);
                    return;
                }
                done += n;
            }
            sent += size;
        }
    }
    ::close(fd);
}

} // namespace

class tst_Faults : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<WindowFixture> m_fixture;

    Controls &c() { return m_fixture->controls(); }
    QString logFolder() const { return m_fixture->folder() + QStringLiteral("/logs/"); }
    QString todaysLog() const { return logFolder() + QStringLiteral("SendrelLog_12052026.txt"); }

    void logTo(const QString &folder)
    {
        c().chkLogData->setCheckState(Qt::Checked);
        c().txtLogPath->setText(folder);
    }

private slots:
    void init() { m_fixture = std::make_unique<WindowFixture>(); }
    void cleanup() { m_fixture.reset(); }

    void binaryChunks_shownAndLoggedByteForByte_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::newRow("nul bytes") << QByteArray("a\0b\0", 4);
        QTest::newRow("invalid utf-8") << QByteArray("\xff\xfe\xc3\x28\xed\xa0\x80\xc0\xaf");
        QTest::newRow("empty datagram") << QByteArray();
        QTest::newRow("largest datagram") << QByteArray(65507, '\x01');
    }
    void binaryChunks_shownAndLoggedByteForByte()
    {
        QFETCH(QByteArray, chunk);
        const quint16 port = startListener(c(), false);
        logTo(logFolder());
        c().txtNetData->setText(QStringLiteral("before"));
        QUdpSocket peer;
        QCOMPARE(peer.writeDatagram(chunk, QHostAddress::LocalHost, port), qint64(chunk.size()));
        QTRY_VERIFY(QFile::exists(todaysLog()));
        QCOMPARE(loggedData(todaysLog()), chunk);
        QCOMPARE(c().txtNetData->text(), QString::fromUtf8(chunk));
    }

    void hugeChunk_windowKeepsTickingAndLogKeepsEveryByte()
    {
        constexpr qint64 Total = 100 << 20;
        const quint16 port = startListener(c(), true);
        logTo(logFolder());
        int ticks = 0;
        connect(c().tmrMain, &QTimer::timeout, this, [&ticks] { ++ticks; });
        [[maybe_unused]] const qint64 peakBefore = peakMemoryKiB();

        std::atomic<bool> sent = false;
        std::thread peer([&] {
            sendPattern(port, Total);
            sent = true;
        });
        // Served, closed by the peer, and the listener reopened for the next one.
        QTRY_VERIFY_WITH_TIMEOUT(sent && c().listenSock->Count() == 1, 240000);
        peer.join();
#ifndef __SANITIZE_ADDRESS__
        // The box and the log keep nothing of the flood in memory beyond one chunk.
        QVERIFY2(peakMemoryKiB() - peakBefore < 96 * 1024,
                 qPrintable(QString::number(peakMemoryKiB() - peakBefore)));
#endif

        const QByteArray data = loggedData(todaysLog());
        QCOMPARE(data.size(), Total);
        for (qint64 i = 0; i < Total; i += 4093)
            QCOMPARE(data[i], patternByte(i));
        QVERIFY(ticks > 0);
        QVERIFY(c().txtNetData->text().size() <= 2 * ReceivedDataBox::MinimumKept);
    }

    void peerResetMidTransfer_keepsWhatArrivedAndRecovers()
    {
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
        QTRY_VERIFY(c().lblStatus[0]->text().startsWith(QStringLiteral("Waiting for TCP")));
        QTcpSocket next;
        next.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY(c().listenSock->element(1)
                    && c().listenSock->element(1)->State() == SocketControl::Connected);
    }

    void httpRequestSplitInsideTheMethod_isNotAnswered()
    {
        c().optReceiveType[1]->setChecked(true);
        const quint16 port = startListener(c(), true);
        QTcpSocket peer;
        peer.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        peer.connectToHost(QHostAddress::LocalHost, port);
        peer.write("GE");
        QTRY_COMPARE(c().txtNetData->text(), QStringLiteral("GE"));
        peer.write("T / HTTP/1.0\r\n\r\n");
        QTRY_COMPARE(c().txtNetData->text(), QStringLiteral("GET / HTTP/1.0\r\n\r\n"));
        // Chunks are judged one by one, as they arrive: neither holds the whole method.
        QCOMPARE(peer.bytesAvailable(), qint64(0));
        QCOMPARE(c().listenSock->Count(), 2);
    }

    void manyClientsAtOnce_firstPeerUnaffected_noDescriptorLeft()
    {
        const quint16 port = startListener(c(), true);
        c().chkEnableAutoRespond->setCheckState(Qt::Checked);
        c().txtWatchString[0]->setText(QStringLiteral("ping"));
        c().txtResponseString[0]->setText(QStringLiteral("pong"));
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(c().listenSock->Count(), 2);
        const int descriptorsBefore = openDescriptors();

        std::vector<std::unique_ptr<QTcpSocket>> crowd;
        for (int i = 0; i < 200; ++i) {
            crowd.push_back(std::make_unique<QTcpSocket>());
            crowd.back()->connectToHost(QHostAddress::LocalHost, port);
        }
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(crowd.begin(), crowd.end(), [](const auto &s) {
                                     return s->state() == QAbstractSocket::UnconnectedState;
                                 }),
                                 60000);
        crowd.clear();

        first.write("ping");
        QTRY_COMPARE(first.bytesAvailable(), qint64(6));
        QCOMPARE(first.readAll(), QByteArray("pong\r\n"));
        QTRY_COMPARE(openDescriptors(), descriptorsBefore);
    }

    void unwritableLog_dataStillShownAndAnswered_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("path through a regular file") << QStringLiteral("settings-is-a-file/logs/");
        QTest::newRow("full device") << QStringLiteral("full/");
    }
    void unwritableLog_dataStillShownAndAnswered()
    {
        QFETCH(QString, folder);
        QFile plain(m_fixture->folder() + QStringLiteral("/settings-is-a-file"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(QDir(m_fixture->folder()).mkpath(QStringLiteral("full")));
        QFile::link(QStringLiteral("/dev/full"),
                    m_fixture->folder() + QStringLiteral("/full/SendrelLog_12052026.txt"));

        const quint16 port = startListener(c(), false);
        logTo(m_fixture->folder() + u'/' + folder);
        c().chkEnableAutoRespond->setCheckState(Qt::Checked);
        c().txtWatchString[0]->setText(QStringLiteral("ping"));
        c().txtResponseString[0]->setText(QStringLiteral("pong"));
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        peer.writeDatagram("ping", QHostAddress::LocalHost, port);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("pong\r\n"));
        QVERIFY(c().txtNetData->text().startsWith(QStringLiteral("ping")));
        QVERIFY(c().txtLogPath->toolTip().contains(QStringLiteral("SendrelLog_12052026.txt")));
        QCOMPARE(c().txtLogPath->palette().color(QPalette::Text), QColor(Qt::red));
    }
};

QTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
