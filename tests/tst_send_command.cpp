#include "support/file_bytes.h"
#include "support/program_process.h"

#include <QtNetwork>
#include <QtTest>

// The one-shot sends of the command line, on the real program: what they take, and when they
// end as failed.
class tst_SendCommand : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QStringList withSettings(QStringList arguments) {
        return arguments << "--settings" << m_dir->filePath("settings.ini");
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(writeBytes(m_dir->filePath("settings.ini"), "[Settings]\r\nPort=1\r\n"));
    }

    // Every numeric option reads decimal digits and nothing else; an option that holds one
    // value is given once.
    void usageError_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("said");
        const QStringList send{"--send", "x", "--to", "127.0.0.1:9"};
        QTest::newRow("port twice") << QStringList{"--headless", "--port", "1", "--port", "2"}
                                    << "--port given more than once";
        QTest::newRow("to twice") << send + QStringList{"--to", "127.0.0.1:8"}
                                  << "--to given more than once";
        QTest::newRow("send twice")
            << send + QStringList{"--send", "y"} << "--send given more than once";
        QTest::newRow("join tcp") << QStringList{"--headless", "--tcp", "--join", "239.1.2.3"}
                                  << "--join works only with UDP";
        for (const char *number : {" 17123", "+17124", "0x10", "17123 "})
            QTest::addRow("port '%s'", number)
                << QStringList{"--headless", "--port", number} << "--port needs a number";
        QTest::newRow("wait blank") << send + QStringList{"--wait", " 5"} << "--wait needs";
        QTest::newRow("repeat sign") << send + QStringList{"--repeat", "+2"} << "--repeat needs";
        QTest::newRow("to port sign")
            << QStringList{"--send", "x", "--to", "127.0.0.1:+9"} << "--to needs HOST:PORT";
        QTest::newRow("ttl blank")
            << send + QStringList{"--udp", "--ttl", " 2"} << "is not a whole number";
        QTest::newRow("max-bytes alone")
            << send + QStringList{"--max-bytes", "5"} << "--max-bytes works only with --send-file";
    }
    void usageError() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, said);
        Program program(m_dir->path(), withSettings(arguments));
        QVERIFY2(program.endsWith(2), program.err);
        QVERIFY2(program.err.contains(said.toUtf8()), program.err);
    }

    // What is not a regular file goes to its end, and a device only within --max-bytes.
    void sendsNotRegular_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("bytes"); // what arrives; with "...": what it starts with
        QTest::newRow("stdin pipe")
            << "printf 'piped\\0' | \"$0\" --send-file /dev/stdin" << 0 << QByteArray("piped\0", 6);
        QTest::newRow("proc") << "exec \"$0\" --send-file /proc/self/status" << 0
                              << QByteArray("Name:\tsendrel\n...");
        QTest::newRow("device") << "exec \"$0\" --send-file /dev/zero" << 1 << QByteArray();
        QTest::newRow("device, bounded")
            << "exec \"$0\" --send-file /dev/zero --max-bytes 5000" << 0 << QByteArray(5000, 0);
    }
    void sendsNotRegular() {
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, bytes);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QByteArray received;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [&, peer] { received += peer->readAll(); });
        });
        Program program(m_dir->path(), {"-c",
                                        command + " --settings settings.ini --to 127.0.0.1:"
                                            + QString::number(server.serverPort()),
                                        SENDREL_PROGRAM});
        QVERIFY2(program.endsWith(exitCode), program.err);
        if (exitCode != 0) {
            QVERIFY2(program.err.contains("A device may never end"), program.err);
            return;
        }
        QVERIFY2(!program.err.contains("ERROR"), program.err);
        if (bytes.endsWith("..."))
            QTRY_VERIFY2(received.startsWith(bytes.chopped(3)), received);
        else
            QTRY_COMPARE(received, bytes);
    }

    // A peer that takes nothing: the file send gives up after --wait without progress.
    void fileSendGivesUp() {
        QVERIFY(writeBytes(m_dir->filePath("big"), QByteArray(48 << 20, 'b')));
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        server.pauseAccepting(); // the system takes the connection; nobody reads it
        Program program(m_dir->path(),
                        withSettings({"--send-file", "big", "--wait", "1000", "--to",
                                      "127.0.0.1:" + QString::number(server.serverPort())}));
        QVERIFY2(program.endsWith(1), program.err);
        QVERIFY2(program.err.contains(" - ERROR: Data Not Sent, Send Failed")
                     && program.err.contains("The peer took nothing for 1 s"),
                 program.err);
    }

    // A peer that reads slowly and keeps talking still gets the whole file: the closing
    // connection is not reset by the system with its tail unsent.
    void slowTalkingReaderGetsAll() {
        const QByteArray bytes = QByteArray("0123456789abcdef").repeated(1 << 19); // 8 MiB
        QVERIFY(writeBytes(m_dir->filePath("file"), bytes));
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QPointer<QTcpSocket> peer;
        QByteArray received;
        QTimer pace;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            peer = server.nextPendingConnection();
            peer->setReadBufferSize(64 << 10);
            connect(&pace, &QTimer::timeout, peer, [&] {
                received += peer->read(64 << 10);
                peer->write("."); // what arrives after a plain close makes the system reset
            });
            pace.start(20);
        });
        Program program(m_dir->path(),
                        withSettings({"--send-file", "file", "--wait", "30000", "--to",
                                      "127.0.0.1:" + QString::number(server.serverPort())}));
        QVERIFY2(program.endsWith(0), program.err);
        QTRY_VERIFY_WITH_TIMEOUT(!peer || peer->state() != QAbstractSocket::ConnectedState, 30000);
        QCOMPARE(received.size(), bytes.size());
        QVERIFY(received == bytes);
    }

    // A reply that cannot be written to stdout is not taken for a done send.
    void replyNotWritten() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, peer, [peer] {
                peer->readAll();
                peer->write("the answer");
            });
        });
        Program program(m_dir->path(),
                        {"-c",
                         "exec \"$0\" --send hi --settings settings.ini > /dev/full --to 127.0.0.1:"
                             + QString::number(server.serverPort()),
                         SENDREL_PROGRAM});
        QVERIFY2(program.endsWith(1), program.err);
        QVERIFY2(program.err.contains("No space left on device"), program.err);
    }
};

QTEST_GUILESS_MAIN(tst_SendCommand)
#include "tst_send_command.moc"
