#include "support/child_program.h"
#include "support/file_bytes.h"
#include "support/loopback.h"

#include <QtNetwork>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

const QByteArray Settings = "[Settings]\r\nPort=1\r\nTcpUdpMode=1\r\nWatchString3=old\r\n"
                            "ResponseString3=old\r\nEnableAutoRespond=1\r\n";
const QByteArray NotFound = "HTTP/1.0 404 Not Found\r\nServer: KVX Sendrel HTTP Server\r\n\r\n";

} // namespace

class tst_CommandLine : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QTcpServer m_busy;

private slots:
    void initTestCase() { QVERIFY(m_busy.listen(QHostAddress::Any)); }
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(writeBytes(m_dir->filePath("settings.ini"), Settings));
    }
    // No run without a screen may write its settings file, whatever it changed in the form.
    void cleanup() { QCOMPARE(fileBytes(m_dir->filePath("settings.ini")), Settings); }

    void endsAtOnce_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        const QString closed = "127.0.0.1:" + QString::number(freeLoopbackPort(true));
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--respond <WATCH=RESPONSE>";
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << "sendrel " SENDREL_VERSION "\n";
        QTest::newRow("unknown") << QStringList{"--bogus"} << 2 << "Unknown option 'bogus'";
        QTest::newRow("no =") << QStringList{"--headless", "--respond", "a"} << 2
                              << "WATCH=RESPONSE";
        QTest::newRow("8 pairs") << QStringList{"--headless"} + QStringList(8, "--respond=a=b") << 2
                                 << "at most 7";
        QTest::newRow("bad pattern") << QStringList{"--headless", "--respond-regex", "(a=b"} << 2
                                     << "--respond-regex: Pattern error at offset 2";
        QTest::newRow("delay first") << QStringList{"--headless", "--respond-delay", "5"} << 2
                                     << "--respond-delay applies to the pair before it";
        QTest::newRow("port text") << QStringList{"--headless", "--port", "x"} << 2 << "number";
        QTest::newRow("port alone") << QStringList{"--port", "7"} << 2 << "only with --headless";
        QTest::newRow("stats with send") << QStringList{"--send", "x", "--to", closed, "--stats"}
                                         << 2 << "--stats works only with --headless";
        QTest::newRow("to no port")
            << QStringList{"--send", "x", "--to", "::1"} << 2 << "HOST:PORT";
        QTest::newRow("no display") << QStringList{} << 1 << "no display";
        QTest::newRow("port range")
            << QStringList{"--headless", "--port", "70000"} << 2 << "from 0 to 65535";
        QTest::newRow("to port range")
            << QStringList{"--send", "x", "--to", "localhost:0"} << 2 << "from 1 to 65535";
        QTest::newRow("single dash") << QStringList{"-headless"} << 2 << "'-headless'";
        QTest::newRow("empty log folder")
            << QStringList{"--headless", "--log", ""} << 2 << "--log needs a folder";
        QTest::newRow("odd hex") << QStringList{"--send", "41 0", "--hex", "--to", "localhost:9"}
                                 << 2 << "no second digit";
        QTest::newRow("port in use, quiet")
            << QStringList{"--headless", "--quiet", "--tcp", "--port",
                           QString::number(m_busy.serverPort())}
            << 1 << "Error while attempting connection.";
        QTest::newRow("send refused") << QStringList{"--send", "x", "--to", closed} << 1
                                      << "ERROR: Data Not Sent, Couldn't Connect To Host";
        QTest::newRow("insecure with pin")
            << QStringList{"--send",          "x",    "--tls", "--insecure", "--pin",
                           QString(64, u'a'), "--to", closed}
            << 2 << "--insecure and --pin exclude each other";
        QTest::newRow("bind text") << QStringList{"--headless", "--bind", "127.1"} << 2
                                   << "--bind: 127.1 is not an IPv4 or IPv6 address";
        QTest::newRow("join unicast")
            << QStringList{"--headless", "--udp", "--join", "10.0.0.1"} << 2
            << "--join: 10.0.0.1 is not a multicast group (224.0.0.0/4 or ff00::/8)";
        QTest::newRow("ttl 300") << QStringList{"--send", "x",     "--udp", "--to",
                                                closed,   "--ttl", "300"}
                                 << 2 << "--ttl: the multicast TTL 300 is outside 0-255";
        QTest::newRow("broadcast tcp")
            << QStringList{"--send", "x", "--to", closed, "--broadcast"} << 2
            << "--broadcast works only with --headless or --send --udp";
        QTest::newRow("repeat listening")
            << QStringList{"--headless", "--repeat", "2"} << 2 << "--repeat works only with --send";
        QTest::newRow("interval range")
            << QStringList{"--send", "x", "--to", closed, "--repeat", "2", "--interval", "0"} << 2
            << "--interval needs 1 to 3600000 ms, not '0'";
        QTest::newRow("file missing")
            << QStringList{"--send-file", "none", "--to", closed} << 1 << "Cannot read none: ";
        QTest::newRow("file and text")
            << QStringList{"--send", "x", "--send-file", "f", "--to", closed} << 2 << "exclude";
        QTest::newRow("block tcp")
            << QStringList{"--send-file", "f", "--to", closed, "--block", "9"} << 2
            << "--block works only with --send-file --udp";
        QTest::newRow("block range")
            << QStringList{"--send-file", "f", "--udp", "--to", closed, "--block", "65508"} << 2
            << "from 1 to 65507";
        QTest::newRow("bind absent address")
            << QStringList{"--headless", "--tcp", "--port", "0", "--bind", "198.51.100.1"} << 1
            << "10049 - Cannot assign requested address.";
        const QStringList relay{"--headless", "--relay", "localhost:7"};
        QTest::newRow("relay alone")
            << QStringList{"--relay", "h:1"} << 2 << "only with --headless";
        QTest::newRow("relay no port")
            << QStringList{"--headless", "--relay", "h"} << 2 << "--relay: 'h': no HOST:PORT";
        QTest::newRow("relay ipv6")
            << QStringList{"--headless", "--relay", "::1:5"} << 2 << "brackets";
        QTest::newRow("delay reversed")
            << relay + QStringList{"--relay-delay", "up:50-10"} << 2 << "--relay-delay: 'up:50-10'";
        QTest::newRow("one way twice")
            << relay + QStringList{"--relay-drop", "down:5", "--relay-drop", "10"} << 2
            << "--relay-drop given more than once for one way";
        QTest::newRow("cut past the largest number")
            << relay + QStringList{"--relay-cut", "99999999999999999999"} << 2
            << "--relay-cut: '99999999999999999999': no number of bytes";
        QTest::newRow("fault alone") << QStringList{"--headless", "--relay-cut", "5"} << 2
                                     << "--relay-cut works only with --relay";
        QTest::newRow("relay tls contradicts --tls")
            << relay + QStringList{"--relay-tls", "target", "--tls"} << 2
            << "--relay-tls target keeps the listening side plain";
        QTest::newRow("relay tls client-cert to target")
            << relay + QStringList{"--relay-tls", "target", "--client-cert", "require"} << 2
            << "--client-cert works only with a secure listener";
        QTest::newRow("control alone") << QStringList{"--control", "127.0.0.1:0"} << 2
                                       << "--control works only with --headless";
        QTest::newRow("control not loopback")
            << QStringList{"--headless", "--control", "0.0.0.0:8474"} << 2
            << "--control: '0.0.0.0:8474' is no loopback address";
        QTest::newRow("control any without token")
            << QStringList{"--headless", "--control", "0.0.0.0:8474", "--control-any"} << 2
            << "--control-any needs --control-token-file";
        QTest::newRow("control token file empty")
            << QStringList{"--headless",           "--control",    "127.0.0.1:0",
                           "--control-token-file", "settings.ini", "--control-any"}
            << 2 << "holds no token of one line";
        QTest::newRow("control token alone")
            << QStringList{"--headless", "--control-token-file", "t"} << 2
            << "--control-token-file works only with --control";
        QTest::newRow("control no port")
            << QStringList{"--headless", "--control", "127.0.0.1"} << 2 << "--control needs";
        QTest::newRow("script alone")
            << QStringList{"--script", "x.js"} << 2 << "--script works only with --headless";
        QTest::newRow("script timeout alone") << QStringList{"--headless", "--script-timeout", "5"}
                                              << 2 << "--script-timeout works only with --script";
        QTest::newRow("script timeout 0")
            << QStringList{"--headless", "--script", "settings.ini", "--script-timeout", "0"} << 2
            << "--script-timeout: '0': not a number of milliseconds from 1 to 60000";
        QTest::newRow("script missing") << QStringList{"--headless", "--script", "none.js"} << 2
                                        << "--script: 'none.js': no such file";
        QTest::newRow("pcap unwritable")
            << QStringList{"--headless", "--port", "0", "--pcap", "/nonexistent/x.pcapng"} << 1
            << "The capture /nonexistent/x.pcapng cannot be written";
    }
    void endsAtOnce() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        ChildProgram program(m_dir->path(), arguments + QStringList{"--settings", "settings.ini"});
        QVERIFY2(program.endsWith(exitCode), program.err);
        QVERIFY2((program.out + program.err).contains(said.toUtf8()), program.out + program.err);
    }

    void listens_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QByteArrayList>("replies");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QStringList>("said");
        QTest::addColumn<int>("signal");
        const QByteArray binary("\0\xff\x01z", 4);
        QTest::newRow("tcp, log") << QStringList{"--tcp",   "--log",     "logs",
                                                 "--stats", "--respond", "ping%CRLF%=pong%TAB%!"}
                                  << QByteArrayList{"old", "ping\r\n", binary}
                                  << QByteArrayList{"", "pong\t!\r\n", ""} << "oldping\r\n" + binary
                                  << QStringList{"Waiting for TCP data on port",
                                                 "TCP Server Mode Send IP Address: 127.0.0.1",
                                                 "Replied to ping%CRLF% with: pong\\x09! On Sock:1"}
                                  << SIGTERM;
        QTest::newRow("udp from file")
            << QStringList{"--respond", "hi=ho"} << QByteArrayList{"hi", binary}
            << QByteArrayList{"ho\r\n", ""} << "hi" + binary
            << QStringList{"Waiting for UDP data on port", "Replied to hi with: ho On Sock:0"}
            << SIGINT;
        QTest::newRow("regex capture")
            << QStringList{"--respond", "x=y", "--respond-regex", "^id:(\\d+)$=ok %1"}
            << QByteArrayList{"id:42"} << QByteArrayList{"ok 42\r\n"} << QByteArray("id:42")
            << QStringList{"Replied to ^id:(\\d+)$ with: ok 42 On Sock:0"} << SIGTERM;
        QTest::newRow("hex") << QStringList{"--tcp", "--hex"}
                             << QByteArrayList{QByteArray("AB\0 x", 5)} << QByteArrayList{""}
                             << QByteArray("00000000  41 42 00 20 78                       "
                                           "             |AB. x|\n00000005\n")
                             << QStringList{} << SIGHUP;
        QTest::newRow("http") << QStringList{"--tcp", "--http"}
                              << QByteArrayList{"GET / HTTP/1.0\r\n\r\n", "PUT /x"}
                              << QByteArrayList{NotFound, NotFound}
                              << QByteArray("GET / HTTP/1.0\r\n\r\nPUT /x") << QStringList{}
                              << SIGTERM;
        QTest::newRow("script")
            << QStringList{"--tcp", "--script", SENDREL_EXAMPLES "/modbus_server.js"}
            << QByteArrayList{QByteArrayLiteral("\x01\x03\x00\x00\x00\x02\xc4\x0b")}
            << QByteArrayList{QByteArrayLiteral("\x01\x03\x04\x00\x00\x00\x01\x3b\xf3")}
            << QByteArrayLiteral("\x01\x03\x00\x00\x00\x02\xc4\x0b") << QStringList{} << SIGTERM;
    }
    void listens() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArrayList, chunks);
        QFETCH(QByteArrayList, replies);
        QFETCH(QByteArray, out);
        QFETCH(QStringList, said);
        QFETCH(int, signal);
        const bool tcp = arguments.contains("--tcp");
        const quint16 port = freeLoopbackPort(tcp);
        ChildProgram program(
            m_dir->path(),
            QStringList{"--headless", "--port", QString::number(port), "--settings", "settings.ini"}
                + arguments);
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("data on port "), 30000);

        QTcpSocket peer;
        QUdpSocket datagrams;
        QByteArray refused; // "address:port" of the peer refused
        for (qsizetype i = 0; i < chunks.size(); ++i) {
            const qsizetype before = program.out.size();
            if (tcp && peer.state() != QAbstractSocket::ConnectedState) {
                peer.connectToHost(QHostAddress::LocalHost, port);
                QVERIFY(peer.waitForConnected());
            }
            if (tcp && i == 0) { // a second peer meanwhile is refused, and told
                QTcpSocket second;
                second.connectToHost(QHostAddress::LocalHost, port);
                QVERIFY(second.waitForConnected());
                // Read before the program closes either connection.
                const quint16 secondPort = second.localPort(), firstPort = peer.localPort();
                refused = "127.0.0.1:" + QByteArray::number(secondPort);
                QTRY_VERIFY2(
                    program.err.contains(
                        "Refused a connection from 127.0.0.1:" + QByteArray::number(secondPort)
                        + " while connected to 127.0.0.1:" + QByteArray::number(firstPort)),
                    program.err);
            }
            tcp ? peer.write(chunks[i])
                : datagrams.writeDatagram(chunks[i], QHostAddress::LocalHost, port);
            QTRY_VERIFY_WITH_TIMEOUT(program.out.size() > before, 10000);
            QByteArray reply;
            QTRY_COMPARE((reply += tcp ? peer.readAll() : datagrams.receiveDatagram().data()),
                         replies[i]);
            if (reply == NotFound) // the listener resets, which ends the connection
                QTRY_COMPARE(peer.state(), QAbstractSocket::UnconnectedState);
        }
        QTRY_COMPARE(program.out, out);
        for (const QString &text : said)
            QTRY_VERIFY2(program.err.contains(text.toUtf8()), program.err);

        // The counters once on SIGUSR1, the run going on, and again at the end.
        const QByteArray stats = "received_bytes=" + QByteArray::number(out.size())
                                 + " received_chunks=" + QByteArray::number(chunks.size())
                                 + " sent_reply_bytes=8 ";
        const QByteArray lastStats = " refused_while_connected=1 last_refused=" + refused
                                     + " dropped_answers=0 unsent_bytes=0 dropped_peers=0"
                                       " stdout_dropped_bytes=0\n";
        if (arguments.contains("--stats")) {
            ::kill(program.process.processId(), SIGUSR1);
            QTRY_VERIFY2(program.err.endsWith(lastStats), program.err);
            QCOMPARE(program.process.state(), QProcess::Running);
        }
        ::kill(program.process.processId(), signal);
        QVERIFY2(program.endsWith(0), program.err);
        QVERIFY(program.err.contains("Connection Closed"));
        if (arguments.contains("--stats")) {
            const QByteArray last = program.err.split('\n').at(program.err.count('\n') - 1);
            QVERIFY2(last.startsWith("connected_since= ") && last.contains(stats)
                         && last.contains(" answers_pair1=1 ") && last.contains(" log_written=3 "),
                     program.err);
            QCOMPARE(program.err.count(stats), 2);
        }
        if (arguments.contains("--log")) {
            const QDir logs(m_dir->filePath("logs"));
            const QStringList files = logs.entryList(QDir::Files);
            QVERIFY(files.size() == 1 && fileBytes(logs.filePath(files[0])).contains("ping\r\n"));
        }
    }

    // A peer of another loopback address is refused by the system.
    void listensOnOneAddress() {
        const QString port = QString::number(freeLoopbackPort(true));
        ChildProgram program(m_dir->path(), {"--headless", "--tcp", "--bind", "127.0.0.2", "--port",
                                             port, "--settings", "settings.ini"});
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("Waiting for TCP data on port "
                                                      + port.toUtf8() + " (address 127.0.0.2)"),
                                 30000);
        QTcpSocket other, chosen;
        other.connectToHost("127.0.0.1", port.toUShort());
        QTRY_COMPARE(other.error(), QAbstractSocket::ConnectionRefusedError);
        chosen.connectToHost("127.0.0.2", port.toUShort());
        QVERIFY(chosen.waitForConnected());
        // Accepted: the peer shows, from lo's own source address.
        QTRY_VERIFY2(program.err.contains("TCP Server Mode Send IP Address: 127.0.0.1"),
                     program.err);
        // The peer's coming changes the state, not the status line: it is not said again.
        QCOMPARE(program.err.count("Waiting for TCP data on port "), 1);
        ::kill(program.process.processId(), SIGTERM);
        QVERIFY2(program.endsWith(0), program.err);
    }

    // In a network namespace of the test's own, where lo carries multicast: a group's datagram
    // is shown, logged and answered to its sender; once stopped, nothing more is shown.
    void multicastInOwnNamespace() {
        if (::geteuid() != 0)
            QSKIP("making a network namespace needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN)");
        const QString ip = QStandardPaths::findExecutable("ip", {"/usr/sbin", "/sbin", "/usr/bin"});
        if (ip.isEmpty())
            QSKIP("setting up the network namespace needs the ip command (iproute2)");
        const QString name = "sendrel-test-" + QString::number(QCoreApplication::applicationPid());
        if (QProcess::execute(ip, {"netns", "add", name}) != 0)
            QSKIP("making a network namespace was refused (CAP_SYS_ADMIN)");
        const auto removed = qScopeGuard([&] { QProcess::execute(ip, {"netns", "del", name}); });
        QCOMPARE(QProcess::execute(ip, {"-n", name, "link", "set", "lo", "up", "multicast", "on"}),
                 0);
        QCOMPARE(QProcess::execute(ip, {"-n", name, "route", "add", "224.0.0.0/4", "dev", "lo",
                                        "src", "127.0.0.1"}),
                 0);

        // The peer's socket is made inside the namespace and stays there.
        QUdpSocket peer;
        const int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int own = ::open(qPrintable("/run/netns/" + name), O_RDONLY | O_CLOEXEC);
        QVERIFY(home >= 0 && own >= 0 && ::setns(own, CLONE_NEWNET) == 0);
        const bool bound = peer.bind(QHostAddress::AnyIPv4, 0);
        QVERIFY(::setns(home, CLONE_NEWNET) == 0);
        ::close(home);
        ::close(own);
        QVERIFY(bound);

        const QString port = "5000";
        ChildProgram program(m_dir->path(),
                             {"-c",
                              "exec " + ip + " netns exec " + name
                                  + " \"$0\" --headless --udp --port " + port
                                  + " --join 239.1.2.3 --log logs --respond hi=ho --settings "
                                    "settings.ini",
                              SENDREL_PROGRAM});
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("Waiting for UDP data on port 5000 (group "
                                                      "239.1.2.3)"),
                                 30000);
        const QHostAddress group("239.1.2.3");
        QVERIFY(peer.writeDatagram("hi", group, port.toUShort()) == 2);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), "ho\r\n");
        QTRY_COMPARE(program.out, "hi"); // stdout may come after the answer
        const QStringList logs = QDir(m_dir->filePath("logs")).entryList(QDir::Files);
        QVERIFY(logs.size() == 1
                && fileBytes(QDir(m_dir->filePath("logs")).filePath(logs[0])).contains("hi"));

        ::kill(program.process.processId(), SIGTERM);
        QVERIFY2(program.endsWith(0), program.err);
        peer.writeDatagram("after", group, port.toUShort());
        QCOMPARE(program.out, "hi");
        QVERIFY(program.err.contains("Connection Closed"));
    }

    // Arguments reach the program as bytes; text that is not UTF-8 would change on the wire or
    // in a path, so it is refused, naming the option.
    void invalidUtf8_refused_data() {
        QTest::addColumn<QString>("arguments");
        QTest::newRow("send") << "--send \"$(printf 'a\\377')\" --to localhost:9";
        QTest::newRow("send=") << "--send=\"$(printf 'a\\377')\" --to localhost:9";
        QTest::newRow("respond") << "--headless --respond \"$(printf 'a=\\303')\"";
        QTest::newRow("log") << "--headless --log \"$(printf '/tmp/\\377')\"";
    }
    void invalidUtf8_refused() {
        QFETCH(QString, arguments);
        ChildProgram program(m_dir->path(), ChildProgram::shell(arguments));
        QVERIFY2(program.endsWith(2), program.err);
        QVERIFY2(program.err.contains("is not valid UTF-8"), program.err);
    }
};

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_command_line.moc"
