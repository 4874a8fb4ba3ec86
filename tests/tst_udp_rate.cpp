// UDP floods on the command line: datagrams read in batches still arrive each whole, in order,
// logged and answered one by one; what the system drops before the program reads it is counted.
#include "support/child_program.h"
#include "support/log_entries.h"
#include "support/loopback.h"

#include <QtNetwork>
#include <QtTest>

#include <csignal>

namespace {

constexpr int Datagrams = 100'000;
// Sent ahead of what stdout has shown, well within the receive buffer the test asks for.
constexpr int Window = 1024;

// Sizes from 1 to 1,472 bytes, each starting with its number; every tenth asks for an answer.
QByteArray datagram(int i) {
    QByteArray bytes = QByteArray::number(i) + (i % 10 == 0 ? " ASK " : " ");
    const qsizetype size = qMax<qsizetype>(bytes.size(), 1 + (i * 7919) % 1472);
    while (bytes.size() < size)
        bytes += char('a' + (i + bytes.size()) % 26);
    return bytes;
}

qint64 statValue(const QByteArray &err, const QByteArray &name) {
    const qsizetype at = err.lastIndexOf(name + '=');
    return at < 0 ? -1 : err.mid(at + name.size() + 1).split(' ').first().trimmed().toLongLong();
}

} // namespace

class tst_UdpRate : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    ChildProgram headless(quint16 port, const QString &options, const QString &before = {}) {
        const QString run =
            QStringLiteral("exec %1 \"$0\" --headless --udp --port %2 --settings none.ini %3")
                .arg(before)
                .arg(port)
                .arg(options);
        return ChildProgram(m_dir->path(), {"-c", run, SENDREL_PROGRAM}, false, "/bin/bash");
    }

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    // Paced to what the program shows, so nothing is lost on the way: every datagram comes out
    // whole and in order, is logged as one entry, and each that asks gets one answer.
    void everyDatagramWholeInOrder() {
        const quint16 port = freeLoopbackPort(false);
        ChildProgram program =
            headless(port, QStringLiteral("--udp-buffer 8192 --log logs --respond-contains ASK=OK "
                                          "--stats"));
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("data on port "), 30000);
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        int answers = 0;
        connect(&peer, &QUdpSocket::readyRead, this, [&] {
            while (peer.hasPendingDatagrams())
                answers += peer.receiveDatagram().data() == "OK\r\n";
        });
        QByteArray sent;
        for (int i = 0; i < Datagrams; ++i) {
            const QByteArray bytes = datagram(i);
            QCOMPARE(peer.writeDatagram(bytes, QHostAddress::LocalHost, port), bytes.size());
            sent += bytes;
            if (i % Window == Window - 1 || i == Datagrams - 1)
                QVERIFY(QTest::qWaitFor([&] { return program.out.size() >= sent.size(); }, 20000));
        }
        QCOMPARE(program.out.size(), sent.size());
        QVERIFY(program.out == sent);
        QTRY_COMPARE_WITH_TIMEOUT(answers, Datagrams / 10, 20000);

        ::kill(pid_t(program.process.processId()), SIGUSR1);
        QTRY_VERIFY2_WITH_TIMEOUT(program.err.contains("udp_dropped_by_system="), program.err,
                                  10000);
        QCOMPARE(statValue(program.err, "received_chunks"), Datagrams);
        QCOMPARE(statValue(program.err, "log_written"), Datagrams);
        QCOMPARE(statValue(program.err, "udp_dropped_by_system"), 0);
        const QStringList logs = QDir(m_dir->filePath("logs")).entryList(QDir::Files);
        QVERIFY(!logs.isEmpty());
        QByteArray logged;
        for (const QString &name : logs) // a run past midnight has two files
            logged += loggedData(m_dir->filePath("logs/" + name));
        QVERIFY(logged == sent);
    }

    // While the program is stopped its small buffer overflows; each datagram the system dropped
    // is counted and told once, and what did arrive adds up with it to all that was sent.
    void systemDropsCounted() {
        const quint16 port = freeLoopbackPort(false);
        ChildProgram program = headless(port, QStringLiteral("--udp-buffer 64 --stats"));
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("data on port "), 30000);
        QVERIFY2(program.err.contains("(receive buffer 64 KiB)"), program.err);
        const pid_t pid = pid_t(program.process.processId());
        QCOMPARE(::kill(pid, SIGSTOP), 0);
        QUdpSocket peer;
        const QByteArray bytes(1000, 'd');
        for (int i = 0; i < 2000; ++i)
            peer.writeDatagram(bytes, QHostAddress::LocalHost, port);
        QCOMPARE(::kill(pid, SIGCONT), 0);
        QTRY_VERIFY2_WITH_TIMEOUT(program.err.contains("before they could be read"), program.err,
                                  10000);
        QTest::qWait(500); // a tick after the last datagram was read
        ::kill(pid, SIGUSR1);
        QTRY_VERIFY2_WITH_TIMEOUT(program.err.contains("udp_dropped_by_system="), program.err,
                                  10000);
        const qint64 dropped = statValue(program.err, "udp_dropped_by_system");
        QVERIFY2(dropped > 0, program.err);
        QCOMPARE(statValue(program.err, "received_chunks") + dropped, 2000);
        QVERIFY2(program.err.count("before they could be read") == 1, program.err);
    }

    // Without the right to pass the system's limit, what was granted is said on the status line.
    void grantedLessIsSaid() {
        QFile limit("/proc/sys/net/core/rmem_max");
        QVERIFY(limit.open(QIODevice::ReadOnly));
        const qint64 most = limit.readAll().trimmed().toLongLong();
        const QString dropRight = QStringLiteral("setpriv --bounding-set -net_admin --");
        if (QProcess::execute("/bin/sh", {"-c", dropRight + " true"}) != 0 || most <= 0
            || most >= 1 << 29)
            QSKIP("needs setpriv and a system limit under 512 MiB");
        const quint16 port = freeLoopbackPort(false);
        const qint64 asked = most / 512; // twice the limit, in KiB
        ChildProgram program =
            headless(port, QStringLiteral("--udp-buffer %1").arg(asked), dropRight);
        QTRY_VERIFY_WITH_TIMEOUT(program.err.contains("data on port "), 30000);
        QVERIFY2(program.err.contains(QStringLiteral("(receive buffer %1 KiB) - the system granted "
                                                     "a receive buffer of %2 KiB only")
                                          .arg(asked)
                                          .arg(most / 1024)
                                          .toUtf8()),
                 program.err);
    }
};

QTEST_GUILESS_MAIN(tst_UdpRate)
#include "tst_udp_rate.moc"
