#include "net/socket_array.h"
#include "net/socket_control.h"
#include "program/status_texts.h"
#include "runtime/date_time_text.h"
#include "sender/file_send.h"
#include "support/file_bytes.h"
#include "support/loopback.h"
#include "support/program_fixture.h"

#include <QtNetwork>
#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

class tst_FileSend : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramFixture> m_f;

    Form &c() { return m_f->form(); }

    Sockets sockets() { return m_f->program().sockets(); }
    FileSend &fileSend() { return m_f->program().fileSend(); }
    QString lastSend() const { return "Last Data Sent: " + dateTimeText(m_f->clock().now()); }
    QString makeFile(const QString &name, qint64 size) {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
        const QString path = m_f->folder() + '/' + name;
        return writeBytes(path, bytes) ? path : QString();
    }
    void target(bool tcp, quint16 port) {
        c().optTCP[tcp ? 0 : 1]->setValue(1);
        c().txtListenPort.setText(QString::number(port));
    }

private slots:
    void init() {
        m_f = std::make_unique<ProgramFixture>();
        c().txtSendIP.setText(QStringLiteral("127.0.0.1"));
    }
    void cleanup() { m_f.reset(); }

    // Byte-exact to a client's peer or the listener's peer, with no more than a bounded part of
    // the file ever waiting in the program.
    void tcp_data() {
        QTest::addColumn<bool>("client");
        QTest::addColumn<bool>("halfClose");
        QTest::newRow("client") << true << false;
        QTest::newRow("listener's peer") << false << false;
        // As nc -N does once its input ends; it still reads.
        QTest::newRow("listener's peer that half-closes") << false << true;
    }
    void tcp() {
        QFETCH(bool, client);
        QFETCH(bool, halfClose);
        const QString path = makeFile("big", (20 << 20) + 3);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket peerOfListener;
        QPointer<QTcpSocket> reader = &peerOfListener;
        if (client) {
            target(true, server.serverPort());
            connect(&server, &QTcpServer::newConnection, this,
                    [&] { reader = server.nextPendingConnection(); });
        } else {
            peerOfListener.connectToHost(QHostAddress::LocalHost, startListener(c(), true));
            QTRY_VERIFY(c().btnSendData.Enabled());
        }
        qint64 mostWaiting = 0;
        connect(&fileSend(), &FileSend::progress, this, [&] {
            const SocketControl *sock =
                client ? sockets().sendSock : sockets().listenSock->element(1);
            mostWaiting = qMax(mostWaiting, sock->BytesToWrite());
        });
        // Finished only once nothing waits in the socket.
        qint64 waitingAtEnd = -1;
        connect(c().lblStatus[2], &Control::changed, this, [&] {
            const SocketControl *sock =
                client ? sockets().sendSock : sockets().listenSock->element(1);
            waitingAtEnd = sock ? sock->BytesToWrite() : -2;
        });
        QSignalSpy finished(&fileSend(), &FileSend::finished);
        QVERIFY(fileSend().start(path));
        // A client send holds "Send Data" until its socket has closed.
        QCOMPARE(c().btnSendData.Enabled(), !client);
        if (halfClose) {
            const QPointer<SocketControl> slot = sockets().listenSock->element(1);
            ::shutdown(int(peerOfListener.socketDescriptor()), SHUT_WR);
            QTRY_VERIFY(!slot || slot->State() == SocketControl::Closing);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
        QVERIFY(fileSend().result().sent());
        QCOMPARE(waitingAtEnd, 0);
        QCOMPARE(c().lblStatus[2]->Text(), lastSend());
        // Once all has left, a peer that closed its side lets the listener take the next.
        QTRY_COMPARE(c().btnSendData.Enabled(), !halfClose);
        QVERIFY(mostWaiting <= FileSend::WriteBound + FileSend::ReadBlock);
        QTRY_COMPARE_WITH_TIMEOUT(reader->bytesAvailable(), QFileInfo(path).size(), 30000);
        QCOMPARE(reader->readAll(), fileBytes(path));
    }

    // One datagram per block, in order, none lost.
    void udp_data() {
        QTest::addColumn<int>("block");
        QTest::newRow("default") << FileSend::DefaultBlock;
        QTest::newRow("largest") << FileSend::MaxBlock;
        QTest::newRow("odd") << 1000;
    }
    void udp() {
        QFETCH(int, block);
        const QString path = makeFile("blocks", (2 << 20) + 5);
        QUdpSocket receiver;
        QVERIFY(receiver.bind(QHostAddress::LocalHost, 0));
        QByteArrayList datagrams;
        connect(&receiver, &QUdpSocket::readyRead, this, [&] {
            while (receiver.hasPendingDatagrams())
                datagrams << receiver.receiveDatagram().data();
        });
        target(false, receiver.localPort());
        QSignalSpy finished(&fileSend(), &FileSend::finished);
        QVERIFY(fileSend().start(path, block));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
        QVERIFY(fileSend().result().sent());
        const QByteArray bytes = fileBytes(path);
        QTRY_COMPARE(datagrams.size(), (bytes.size() + block - 1) / block);
        for (qsizetype i = 0; i < datagrams.size(); ++i)
            QCOMPARE(datagrams[i], bytes.mid(i * block, block));
    }

    // A file that cannot be read sends nothing and leaves the last-send line; an empty one is
    // sent, as nothing.
    void unreadable_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason"); // empty: sent
        QTest::newRow("missing") << "none"
                                 << "No such file or directory";
        QTest::newRow("folder") << "."
                                << "Is a directory";
        if (geteuid() != 0) // root reads any file
            QTest::newRow("no permission") << "locked"
                                           << "Permission denied";
        QTest::newRow("empty") << "empty" << QString();
    }
    void unreadable() {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        makeFile("locked", 10);
        QFile::setPermissions(m_f->folder() + "/locked", {});
        makeFile("empty", 0);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        target(true, server.serverPort());
        c().lblStatus[2]->setText("before");
        QSignalSpy finished(&fileSend(), &FileSend::finished);
        const QString path = m_f->folder() + '/' + name;
        QCOMPARE(fileSend().start(path), reason.isEmpty());
        if (!reason.isEmpty()) {
            QCOMPARE(m_f->messages, QStringList{"Cannot read " + path + ": " + reason});
            QCOMPARE(c().lblStatus[2]->Text(), "before");
            QVERIFY(!server.waitForNewConnection(100));
            return;
        }
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(c().lblStatus[2]->Text(), lastSend());
        QVERIFY(server.hasPendingConnections());
        QCOMPARE(server.nextPendingConnection()->readAll(), QByteArray());
    }

    // What is not a regular file goes to its end (a FIFO, a /proc file whose size reads 0), or
    // within a bound (a device, refused without one).
    void notRegular_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("maxBytes");  // -1: none
        QTest::addColumn<QByteArray>("bytes"); // what arrives; null: refused
        const QByteArray piped = QByteArray("through a FIFO\n").repeated(20000);
        QTest::newRow("fifo") << "fifo" << qint64(-1) << piped;
        QTest::newRow("fifo, bounded") << "fifo" << qint64(1000) << piped.left(1000);
        QFile cmdline("/proc/self/cmdline");
        QVERIFY(cmdline.open(QIODevice::ReadOnly) && cmdline.size() == 0);
        QTest::newRow("proc") << "/proc/self/cmdline" << qint64(-1) << cmdline.readAll();
        QTest::newRow("device") << "/dev/zero" << qint64(-1) << QByteArray();
        QTest::newRow("device, bounded") << "/dev/zero" << qint64(70000) << QByteArray(70000, 0);
    }
    void notRegular() {
        QFETCH(QString, path);
        QFETCH(qint64, maxBytes);
        QFETCH(QByteArray, bytes);
        QProcess writer; // into the FIFO, once the send opens it
        if (path == "fifo") {
            path = m_f->folder() + "/fifo";
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
            writer.start("sh", {"-c", "yes 'through a FIFO' | head -n 20000 > \"$0\"", path});
            QVERIFY(writer.waitForStarted());
        }
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        target(true, server.serverPort());
        QSignalSpy finished(&fileSend(), &FileSend::finished);
        const std::optional<qint64> bound =
            maxBytes < 0 ? std::nullopt : std::optional<qint64>(maxBytes);
        QCOMPARE(fileSend().start(path, FileSend::DefaultBlock, bound), !bytes.isNull());
        if (bytes.isNull()) {
            QCOMPARE(m_f->messages.size(), 1);
            QVERIFY2(m_f->messages[0].contains("A device may never end"),
                     qPrintable(m_f->messages[0]));
            return;
        }
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *reader = server.nextPendingConnection();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY(fileSend().result().sent());
        QTRY_COMPARE(reader->bytesAvailable(), bytes.size());
        QCOMPARE(reader->readAll(), bytes);
        writer.kill();
        writer.waitForFinished();
    }

    // A peer that takes nothing gives the send up once the stall limit has passed, the seconds
    // told on the way; a cancel names what went, which is what then arrives.
    void peerStalls_data() {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("gives up") << false;
        QTest::newRow("cancelled") << true;
    }
    void peerStalls() {
        QFETCH(bool, cancel);
        const QString path = makeFile("big", 32 << 20);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        server.pauseAccepting(); // the system takes the connection; nobody reads it
        target(true, server.serverPort());
        QSignalSpy stalled(&fileSend(), &FileSend::stalled);
        QSignalSpy finished(&fileSend(), &FileSend::finished);
        fileSend().setStallLimit(cancel ? 60000 : 1500);
        QVERIFY(fileSend().start(path));
        QTRY_COMPARE_WITH_TIMEOUT(stalled.size(), 1, 30000);
        QCOMPARE(stalled[0][0].toInt(), 1);
        if (cancel)
            fileSend().cancel();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        const SendResult result = fileSend().result();
        QVERIFY(!result.sent());
        const QString line = lastSendLine(result);
        if (!cancel) {
            QCOMPARE(line, lastSend() + " - ERROR: Data Not Sent, Send Failed");
            QVERIFY2(result.why.startsWith("The peer took nothing for 1 s, with "),
                     qPrintable(result.why));
            return;
        }
        const QString prefix = lastSend() + " - Cancelled, ";
        QVERIFY2(line.startsWith(prefix) && line.endsWith(" of 33554432 Bytes Sent"),
                 qPrintable(line));
        const qint64 handed = line.mid(prefix.size()).section(' ', 0, 0).toLongLong();
        QVERIFY(handed > 0 && handed < (32 << 20));
        server.resumeAccepting();
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *reader = server.nextPendingConnection();
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += reader->readAll()).size() >= handed, 30000);
        QCOMPARE(got, fileBytes(path).left(handed));
    }
};

QTEST_GUILESS_MAIN(tst_FileSend)
#include "tst_file_send.moc"
