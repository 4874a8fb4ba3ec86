#include "support/child_program.h"
#include "support/file_bytes.h"
#include "support/loopback.h"

#include <QtNetwork>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// The one-shot sends of the command line, on the real program: what they take, and when they
// end as failed.
class tst_SendCommand : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QStringList withSettings(QStringList arguments) {
        return arguments << "--settings" << m_dir->filePath("settings.ini");
    }

    // A loopback server that gathers every byte its peers send into `received`.
    bool gatherInto(QTcpServer &server, QByteArray &received) {
        connect(&server, &QTcpServer::newConnection, this, [this, &server, &received] {
            QTcpSocket *peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this,
                    [&received, peer] { received += peer->readAll(); });
        });
        return server.listen(QHostAddress::LocalHost);
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
        ChildProgram program(m_dir->path(), withSettings(arguments));
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
        QByteArray received;
        QVERIFY(gatherInto(server, received));
        ChildProgram program(m_dir->path(), {"-c",
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
        ChildProgram program(m_dir->path(),
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
        ChildProgram program(m_dir->path(),
                             withSettings({"--send-file", "file", "--wait", "30000", "--to",
                                           "127.0.0.1:" + QString::number(server.serverPort())}));
        QVERIFY2(program.endsWith(0), program.err);
        QTRY_VERIFY_WITH_TIMEOUT(!peer || peer->state() != QAbstractSocket::ConnectedState, 30000);
        QVERIFY(peer);
        received += peer->readAll();
        QCOMPARE(received.size(), bytes.size());
        QVERIFY(received == bytes);
    }

    void sendsOnce_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("tcp");
        QTest::newRow("tcp v6") << "[::1]" << true;
        QTest::newRow("udp name") << "localhost" << false;
    }
    // The program itself answers, so the reply comes back to the send while it lingers.
    void sendsOnce() {
        QFETCH(QString, host);
        QFETCH(bool, tcp);
        const QString protocol = tcp ? "--tcp" : "--udp";
        const QString port = QString::number(freeLoopbackPort(tcp));
        ChildProgram peer(m_dir->path(), {"--headless", protocol, "--port", port, "--respond",
                                          "hello=ack%TAB%", "--settings", "settings.ini"});
        QTRY_VERIFY_WITH_TIMEOUT(peer.err.contains("data on port "), 30000);
        ChildProgram program(m_dir->path(), {"--send", "hello", "--to", host + ':' + port, protocol,
                                             "--settings", "settings.ini"});
        QVERIFY2(program.endsWith(0), program.err);
        QCOMPARE(peer.out, "hello");
        QCOMPARE(program.out, "ack\t\r\n");
        QVERIFY2(program.err.contains("Last Data Sent: ") && !program.err.contains("ERROR"),
                 program.err);
        QVERIFY2(!program.err.contains("listensock"), program.err); // the trace line is asked for
    }

    void repeatSend_data() {
        QTest::addColumn<int>("count");
        QTest::newRow("three") << 3;
        QTest::newRow("until interrupted") << 0;
    }
    // Each send is answered and counted on its line; a signal ends an endless repeat as success.
    void repeatSend() {
        QFETCH(int, count);
        const QString port = QString::number(freeLoopbackPort(false));
        ChildProgram peer(m_dir->path(), {"--headless", "--udp", "--port", port, "--respond",
                                          "hi=ok", "--settings", "settings.ini"});
        QTRY_VERIFY_WITH_TIMEOUT(peer.err.contains("data on port "), 30000);
        ChildProgram program(m_dir->path(), {"--send", "hi", "--to", "127.0.0.1:" + port, "--udp",
                                             "--repeat", QString::number(count), "--interval", "20",
                                             "--settings", "settings.ini"});
        if (count == 0) {
            QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("(3)"), 30000);
            QTRY_VERIFY(program.catches(SIGINT));
            ::kill(pid_t(program.process.processId()), SIGINT);
        }
        QVERIFY2(program.endsWith(0), program.err);
        const int sent = int(program.err.count("Last Data Sent: "));
        QVERIFY2(count == 0 ? sent >= 3 : sent == 3, program.err);
        QVERIFY(program.err.contains(count == 0 ? "(3)\n" : "(3 of 3)\n"));
        QTRY_COMPARE(peer.out, QByteArray("hi").repeated(sent));
        QCOMPARE(program.out, QByteArray("ok\r\n").repeated(sent));
    }

    // A file's bytes unchanged, the last-send line once the connection has closed.
    void sendsFile() {
        const QByteArray bytes = QByteArray(300000, 'f') + QByteArray("\0\r\n\xff", 4);
        QVERIFY(writeBytes(m_dir->filePath("file"), bytes));
        QTcpServer server;
        QByteArray received;
        QVERIFY(gatherInto(server, received));
        ChildProgram program(m_dir->path(), {"--send-file", "file", "--to",
                                             "127.0.0.1:" + QString::number(server.serverPort()),
                                             "--settings", "settings.ini"});
        QVERIFY2(program.endsWith(0), program.err);
        QVERIFY2(program.err.contains("Last Data Sent: ") && !program.err.contains("ERROR"),
                 program.err);
        QTRY_COMPARE(received, bytes);
    }

    void broadcastSend_data() {
        QTest::addColumn<bool>("allowed");
        QTest::newRow("with --broadcast") << true;
        QTest::newRow("without") << false;
    }
    // A loopback broadcast reaches a socket on all addresses, only when allowed.
    void broadcastSend() {
        QFETCH(bool, allowed);
        QUdpSocket everyone;
        QVERIFY(everyone.bind(QHostAddress::AnyIPv4, 0));
        QStringList arguments{"--send",
                              "to all",
                              "--udp",
                              "--settings",
                              "settings.ini",
                              "--to",
                              "127.255.255.255:" + QString::number(everyone.localPort())};
        if (allowed)
            arguments << "--broadcast";
        ChildProgram program(m_dir->path(), arguments);
        QVERIFY2(program.endsWith(allowed ? 0 : 1), program.err);
        if (allowed) {
            QTRY_VERIFY(everyone.hasPendingDatagrams());
            QCOMPARE(everyone.receiveDatagram().data(), "to all");
        } else {
            QVERIFY2(program.err.contains(" - ERROR: Data Not Sent, Send Failed")
                         && program.err.contains("10013 - Permission denied."),
                     program.err);
        }
    }

    // A send ends only once every byte has left, however slowly the peer reads: in a network
    // namespace of its own with small socket buffers, so the bytes wait in the program.
    void sendWaitsForSlowReader() {
        if (geteuid() != 0 || QStandardPaths::findExecutable("ip").isEmpty())
            QSKIP("needs root (CAP_SYS_ADMIN) and ip to make a network namespace");
        const QString space =
            QStringLiteral("sendrel-slow-%1").arg(QCoreApplication::applicationPid());
        const QString received = m_dir->filePath("received");
        const QString script =
            QStringLiteral(
                "ip netns add %1 || exit 77; trap 'ip netns del %1' EXIT; ip -n %1 link set lo up; "
                "ip netns exec %1 sh -c 'sysctl -qw net.ipv4.tcp_wmem=\"4096 4096 4096\" "
                "net.ipv4.tcp_rmem=\"4096 4096 4096\"; (nc -l 127.0.0.1 9000 | (sleep 2; cat) > "
                "%2) "
                "& sleep 0.3; \"$0\" --send \"$(head -c 120000 /dev/zero | tr \"\\0\" x)\" "
                "--to 127.0.0.1:9000 --settings settings.ini; status=$?; wait; exit $status' "
                "\"$0\"")
                .arg(space, received);
        ChildProgram program(m_dir->path(), {"-c", script, SENDREL_PROGRAM});
        QVERIFY(QTest::qWaitFor([&] { return program.process.state() == QProcess::NotRunning; },
                                30000));
        if (program.process.exitCode() == 77)
            QSKIP("the system refused a network namespace");
        QVERIFY2(program.endsWith(0), program.err);
        QCOMPARE(QFileInfo(received).size(), 120000);
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
        ChildProgram program(
            m_dir->path(),
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
