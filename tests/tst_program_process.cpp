#include "support/child_program.h"
#include "support/file_bytes.h"
#include "support/loopback.h"

#include <QtNetwork>
#include <QtTest>

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QByteArray Settings = "[Settings]\r\nPort=1\r\nTcpUdpMode=1\r\nWatchString3=old\r\n"
                            "ResponseString3=old\r\nEnableAutoRespond=1\r\n";

} // namespace

// The headless program as a process: its output, its service manager and its signals.
class tst_ProgramProcess : public QObject {
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

    // What the run cannot do is told, never taken for done: a capture that fails ends the run
    // with the reason; a reader that stalls holds the peer back instead of the event loop.
    void stdoutTrouble_data() {
        QTest::addColumn<QString>("redirect");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::newRow("full disk") << "> /dev/full" << 1 << "No space left on device";
        QTest::newRow("closed pipe") << "| head -c 10 > /dev/null" << 1 << "Broken pipe";
        QTest::newRow("stalled reader") << "| sleep 3" << 1 << "were not written";
        QTest::newRow("closed stdout") << ">&-" << 0 << "";
    }
    void stdoutTrouble() {
        QFETCH(QString, redirect);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        const quint16 port = freeLoopbackPort(true);
        // The shell names the program's process and ends with its status, whatever reads.
        const QString run = QStringLiteral("set -o pipefail; (\"$0\" --headless --tcp --port %1 "
                                           "--settings settings.ini & p=$!; echo $p >&2; "
                                           "wait $p) %2")
                                .arg(port)
                                .arg(redirect);
        ChildProgram program(m_dir->path(), {"-c", run, SENDREL_PROGRAM}, false, "/bin/bash");
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("data on port "), 30000);
        const qint64 pid = program.err.left(program.err.indexOf('\n')).toLongLong();
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peer.waitForConnected());
        peer.write(QByteArray(8 * 1024 * 1024, 'x')); // more than any pipe or buffer holds
        QTest::qWait(500);
        ::kill(pid_t(pid), SIGTERM);
        QVERIFY2(program.endsWith(exitCode), program.err);
        QVERIFY2(program.err.contains(said.toUtf8()), program.err);
    }

    // Under a service manager: ready once the port is open, the status lines follow, stderr
    // carries the journal's priorities instead of a time stamp, and nothing is ready after a
    // failed start.
    void serviceManager_data() {
        QTest::addColumn<bool>("free");
        QTest::newRow("listening") << true;
        QTest::newRow("port in use") << false;
    }
    void serviceManager() {
        QFETCH(bool, free);
        const QString notify = m_dir->filePath("notify");
        const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(notify).constData(), sizeof address.sun_path);
        QVERIFY(::bind(manager, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QByteArrayList told;
        const auto listen = [&] {
            char message[512];
            for (ssize_t size; (size = ::recv(manager, message, sizeof message, 0)) > 0;)
                told << QByteArray(message, size);
            return told;
        };
        const QString errors = m_dir->filePath("stderr");
        QFile journal(errors);
        QVERIFY(journal.open(QIODevice::WriteOnly));
        struct stat file {};
        QVERIFY(::fstat(journal.handle(), &file) == 0);
        const quint16 port = free ? freeLoopbackPort(true) : m_busy.serverPort();
        ChildProgram program(
            m_dir->path(),
            ChildProgram::shell(QStringLiteral("--headless --tcp --port %1 --settings "
                                               "settings.ini 2>>stderr")
                                    .arg(port)),
            false, {},
            {"NOTIFY_SOCKET=" + notify,
             QStringLiteral("JOURNAL_STREAM=%1:%2").arg(file.st_dev).arg(file.st_ino)});
        if (free) {
            QTRY_VERIFY_WITH_TIMEOUT(listen().contains("READY=1"), 30000);
            QTcpSocket peer;
            peer.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(peer.waitForConnected());
            QVERIFY(
                told.contains("STATUS=Waiting for TCP data on port " + QByteArray::number(port)));
            QTRY_VERIFY(listen().contains("STATUS=TCP Server Mode Send IP Address: 127.0.0.1"));
            ::kill(program.process.processId(), SIGTERM);
        }
        QVERIFY2(program.endsWith(free ? 0 : 1), program.err);
        listen();
        QCOMPARE(told.contains("READY=1"), free);
        QCOMPARE(told.contains("STOPPING=1"), free);
        const QByteArray written = fileBytes(errors);
        QVERIFY2(written.contains(free ? "<6>Waiting for TCP data on port "
                                       : "<3>Error while attempting connection. "),
                 written);
        // The logging category's lines carry their priority too.
        QVERIFY2(free || written.contains("<4>sendrel.net: listen on port "), written);
        ::close(manager);
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
        ChildProgram program(m_dir->path(), {"--settings", file}, true);
        QVERIFY(QTest::qWaitFor([&] { return program.catches(signal); }, 30000));
        ::kill(program.process.processId(), signal);
        QVERIFY2(program.endsWith(0), program.err);
        const QByteArray saved = fileBytes(file);
        QVERIFY2(saved.contains("Port=4321") && saved.contains("TcpUdpMode=0"), saved);
    }
};

QTEST_GUILESS_MAIN(tst_ProgramProcess)
#include "tst_program_process.moc"
