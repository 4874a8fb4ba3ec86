#include "support/file_bytes.h"
#include "support/loopback.h"

#include <QtNetwork>
#include <QtTest>

#include <csignal>

namespace {

const QByteArray Settings = "[Settings]\r\nPort=1\r\nTcpUdpMode=1\r\nWatchString3=old\r\n"
                            "ResponseString3=old\r\nEnableAutoRespond=1\r\n";
const QByteArray NotFound = "HTTP/1.0 404 Not Found\r\nServer: KVX Sendrel HTTP Server\r\n\r\n";

// The built program as a child process without a display, its output collected as it comes.
struct Program {
    Program(const QString &folder, const QStringList &arguments, bool offscreen = false) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        if (offscreen)
            environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(folder);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += process.readAllStandardError(); });
        process.start(SENDREL_PROGRAM, arguments);
        process.waitForStarted(); // until then the child still has this program's handlers
    }
    ~Program() {
        process.kill();
        process.waitForFinished();
    }
    bool endsWith(int exitCode) {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, 30000)
               && process.exitStatus() == QProcess::NormalExit && process.exitCode() == exitCode;
    }
    // True once the program handles `number` itself instead of dying of it.
    bool catches(int number) {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        status.open(QIODevice::ReadOnly);
        const QByteArray text = status.readAll();
        const qsizetype at = text.indexOf("SigCgt:");
        return at >= 0
               && (text.mid(at + 7, 17).trimmed().toULongLong(nullptr, 16) >> (number - 1)) & 1;
    }

    QProcess process;
    QByteArray out, err;
};

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
        QTest::newRow("port text") << QStringList{"--headless", "--port", "x"} << 2 << "number";
        QTest::newRow("port alone") << QStringList{"--port", "7"} << 2 << "only with --headless";
        QTest::newRow("to no port")
            << QStringList{"--send", "x", "--to", "::1"} << 2 << "HOST:PORT";
        QTest::newRow("no display") << QStringList{} << 1 << "no display";
        QTest::newRow("port range")
            << QStringList{"--headless", "--port", "70000"} << 1
            << "Error while attempting connection. Port may already be in use";
        QTest::newRow("port in use, quiet")
            << QStringList{"--headless", "--quiet", "--tcp", "--port",
                           QString::number(m_busy.serverPort())}
            << 1 << "Error while attempting connection.";
        QTest::newRow("send refused") << QStringList{"--send", "x", "--to", closed} << 1
                                      << "ERROR: Data Not Sent, Couldn't Connect To Host";
    }
    void endsAtOnce() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        Program program(m_dir->path(), arguments + QStringList{"--settings", "settings.ini"});
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
        QTest::newRow("tcp, log") << QStringList{"--tcp", "--log", "logs", "--respond",
                                                 "ping%CRLF%=pong%TAB%!"}
                                  << QByteArrayList{"old", "ping\r\n", binary}
                                  << QByteArrayList{"", "pong\t!\r\n", ""} << "oldping\r\n" + binary
                                  << QStringList{"Waiting for TCP data on port",
                                                 "TCP Server Mode Send IP Address: 127.0.0.1",
                                                 "Replied to ping%CRLF% with: pong\t! On Sock:1"}
                                  << SIGTERM;
        QTest::newRow("udp from file")
            << QStringList{"--respond", "hi=ho"} << QByteArrayList{"hi", binary}
            << QByteArrayList{"ho\r\n", ""} << "hi" + binary
            << QStringList{"Waiting for UDP data on port", "Replied to hi with: ho On Sock:0"}
            << SIGINT;
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
        Program program(m_dir->path(), QStringList{"--headless", "--port", QString::number(port),
                                                   "--settings", "settings.ini"}
                                           + arguments);
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("data on port "), 30000);

        QTcpSocket peer;
        QUdpSocket datagrams;
        for (qsizetype i = 0; i < chunks.size(); ++i) {
            const qsizetype before = program.out.size();
            if (tcp && peer.state() != QAbstractSocket::ConnectedState) {
                peer.connectToHost(QHostAddress::LocalHost, port);
                QVERIFY(peer.waitForConnected());
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

        ::kill(program.process.processId(), signal);
        QVERIFY2(program.endsWith(0), program.err);
        QVERIFY(program.err.contains("Connection Closed"));
        if (arguments.contains("--log")) {
            const QDir logs(m_dir->filePath("logs"));
            const QStringList files = logs.entryList(QDir::Files);
            QVERIFY(files.size() == 1 && fileBytes(logs.filePath(files[0])).contains("ping\r\n"));
        }
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
        Program peer(m_dir->path(), {"--headless", protocol, "--port", port, "--respond",
                                     "hello=ack%TAB%", "--settings", "settings.ini"});
        QTRY_VERIFY_WITH_TIMEOUT(peer.err.contains("data on port "), 30000);
        Program program(m_dir->path(), {"--send", "hello", "--to", host + ':' + port, protocol,
                                        "--settings", "settings.ini"});
        QVERIFY2(program.endsWith(0), program.err);
        QCOMPARE(peer.out, "hello");
        QCOMPARE(program.out, "ack\t\r\n");
        QVERIFY2(program.err.contains("Last Data Sent: ") && !program.err.contains("ERROR"),
                 program.err);
    }

    void windowClosesOnSignal_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void windowClosesOnSignal() {
        QFETCH(int, signal);
        const QString file = m_dir->filePath("window.ini");
        QVERIFY(writeBytes(file, "[Settings]\nPort=4321\n"));
        Program program(m_dir->path(), {"--settings", file}, true);
        QVERIFY(QTest::qWaitFor([&] { return program.catches(signal); }, 30000));
        ::kill(program.process.processId(), signal);
        QVERIFY2(program.endsWith(0), program.err);
        const QByteArray saved = fileBytes(file);
        QVERIFY2(saved.contains("Port=4321") && saved.contains("TcpUdpMode=0"), saved);
    }
};

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_command_line.moc"
