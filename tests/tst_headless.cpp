// The run without a screen against peers that misbehave: a stalled stdout reader, a peer that
// stays only a moment, bytes meant to pose as journal entries.
#include "support/child_program.h"
#include "support/file_bytes.h"
#include "support/loopback.h"

#include <QtNetwork>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

class tst_Headless : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    ChildProgram headless(quint16 port, const QString &options, const QString &redirect = {},
                          const QStringList &variables = {}) {
        // exec: the program keeps the shell's process, so signals reach it.
        const QString run =
            QStringLiteral("exec \"$0\" --headless --port %1 --settings none.ini %2 %3")
                .arg(port)
                .arg(options, redirect);
        return ChildProgram(m_dir->path(), {"-c", run, SENDREL_PROGRAM}, false, "/bin/bash",
                            variables);
    }

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    // A flood nobody reads from stdout: UDP answers go on for every peer, what stdout could
    // not take is dropped, told and counted.
    void udpStalledStdout_answersGoOn() {
        const quint16 port = freeLoopbackPort(false);
        ChildProgram program = headless(port, "--udp --stats --respond ping=pong", "> >(sleep 20)");
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("data on port "), 30000);
        QUdpSocket flood, other;
        QVERIFY(flood.bind(QHostAddress::LocalHost, 0) && other.bind(QHostAddress::LocalHost, 0));
        const QByteArray big(60000, 'f');
        for (int i = 0; i < 400; ++i) {
            flood.writeDatagram(big, QHostAddress::LocalHost, port);
            if (i % 8 == 7)
                QTest::qWait(2);
        }
        QTRY_VERIFY2_WITH_TIMEOUT(program.err.contains("Standard output does not keep up"),
                                  program.err, 20000);
        other.writeDatagram("ping", QHostAddress::LocalHost, port);
        QTRY_VERIFY_WITH_TIMEOUT(other.hasPendingDatagrams(), 10000);
        QCOMPARE(other.receiveDatagram().data(), QByteArray("pong\r\n"));
        ::kill(pid_t(program.process.processId()), SIGUSR1);
        QTRY_VERIFY2(program.err.contains("stdout_dropped_bytes="), program.err);
        QVERIFY2(!program.err.contains("stdout_dropped_bytes=0"), program.err);
    }

    // A reader that stalls past the bound holds the TCP peer back; once it reads, every byte
    // arrives, in order.
    void tcpStalledStdout_everyByteArrives() {
        const quint16 port = freeLoopbackPort(true);
        ChildProgram program = headless(port, "--tcp", "> >(sleep 3; cat > received)");
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("data on port "), 30000);
        QByteArray sent;
        for (int i = 0; i < 12 * 256; ++i)
            sent += QByteArray(4096, char('a' + i % 26));
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peer.waitForConnected());
        peer.write(sent);
        QTRY_VERIFY_WITH_TIMEOUT(peer.bytesToWrite() == 0, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(m_dir->filePath("received")).size(), sent.size(),
                                  60000);
        QVERIFY(fileBytes(m_dir->filePath("received")) == sent);
    }

    // A peer that comes and goes within one tick of the status monitor is still named.
    void shortPeerIsNamed() {
        const quint16 port = freeLoopbackPort(true);
        ChildProgram program = headless(port, "--tcp");
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("data on port "), 30000);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peer.waitForConnected());
        const QByteArray named =
            "Accepted a connection from 127.0.0.1:" + QByteArray::number(peer.localPort()) + '\n';
        peer.abort();
        QTRY_VERIFY2(program.err.contains(named), program.err);
    }

    // Under the journal a peer's NUL and escape sequences arrive escaped, its "<3>" harmless; a
    // long reply's note is cut with the reply's size.
    void peerBytesEscapedOnStderr() {
        const QString errors = m_dir->filePath("stderr");
        QFile journal(errors);
        QVERIFY(journal.open(QIODevice::WriteOnly));
        struct stat file {};
        QVERIFY(::fstat(journal.handle(), &file) == 0);
        const quint16 port = freeLoopbackPort(false);
        ChildProgram program =
            headless(port, "--udp --respond-regex 'X.*=%0' --respond L=\"$(printf '%0300d' 0)\"",
                     "2>>stderr",
                     {QStringLiteral("JOURNAL_STREAM=%1:%2").arg(file.st_dev).arg(file.st_ino)});
        QTRY_VERIFY_WITH_TIMEOUT(fileBytes(errors).contains("data on port "), 30000);
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        peer.writeDatagram(QByteArray("X\0<3>FORGED ERROR\x1b[2J", 21), QHostAddress::LocalHost,
                           port);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QTRY_VERIFY(fileBytes(errors).contains("FORGED"));
        const QByteArray written = fileBytes(errors);
        QVERIFY2(
            written.contains("\n<6>Replied to X.* with: X\\x00<3>FORGED ERROR\\x1b[2J On Sock:0\n"),
            written);
        QVERIFY(!written.contains('\0') && !written.contains('\x1b'));
        peer.writeDatagram("L", QHostAddress::LocalHost, port);
        QTRY_VERIFY(fileBytes(errors).contains("... (a reply of 302 bytes)\n"));
    }
};

QTEST_GUILESS_MAIN(tst_Headless)
#include "tst_headless.moc"
