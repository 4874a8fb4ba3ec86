// What a TLS peer may hold: a handshake that does not finish in time gives up what it was given,
// on the secure listener, on either side of the relay and in a secure send.
#include "listener/relay.h"
#include "net/certificate_files.h"
#include "net/tls_context.h"
#include "net/tls_options.h"
#include "net/tls_words.h"
#include "support/child_program.h"
#include "support/loopback.h"
#include "support/program_fixture.h"
#include "support/server_tls.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

// A Qt timer may fire a little early; a handshake given up much sooner was not given its time.
constexpr int EarliestLateMs = HandshakeLimitMs - 500;

// The first flight of a real client, as it reaches a server that never answers it.
QByteArray clientHello() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return {};
    QSslSocket client;
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.serverPort());
    QTcpSocket *peer = nullptr;
    QByteArray hello;
    const bool heard = QTest::qWaitFor(
        [&] {
            if (!peer)
                peer = server.nextPendingConnection();
            if (peer)
                hello += peer->readAll();
            return hello.size() > 5;
        },
        10000);
    return heard ? hello : QByteArray();
}

} // namespace

class tst_TlsBounds : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    MadeCertificate m_made;

    TlsOptions serverOptions() const { return serverTls(m_made.certificateFile, m_made.keyFile); }
    QString run(const QString &command) const {
        QProcess shell;
        shell.setWorkingDirectory(m_dir->path());
        shell.setProcessChannelMode(QProcess::MergedChannels);
        shell.start("/bin/sh", {"-c", command});
        shell.waitForFinished(60000);
        return QString::fromLocal8Bit(shell.readAll());
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_made = makeSelfSignedCertificate(m_dir->path(), QStringLiteral("sendrel-test"));
        QVERIFY2(m_made.error.isEmpty(), qPrintable(m_made.error));
    }

    // A peer that does not finish its handshake in time loses the connection slot with one note
    // and a count, however it stalls, and the next client is served.
    void listenerHandshakeLate_data() {
        QTest::addColumn<QByteArray>("opening");
        QTest::addColumn<bool>("trickle"); // one byte a second
        QTest::newRow("silent") << QByteArray() << false;
        QTest::newRow("client hello, a byte a second") << clientHello() << true;
        QTest::newRow("partial record header") << QByteArray("\x16\x03\x01", 3) << false;
    }
    void listenerHandshakeLate() {
        QFETCH(QByteArray, opening);
        QFETCH(bool, trickle);
        QVERIFY(opening.size() > 5 || !trickle);
        const quint16 port = freeLoopbackPort(true);
        ChildProgram listener(
            m_dir->path(), ChildProgram::shell(QStringLiteral("--headless --settings none.ini "
                                                              "--tcp --port %1 --tls --cert %2 "
                                                              "--key %3 --stats")
                                                   .arg(port)
                                                   .arg(m_made.certificateFile, m_made.keyFile)));
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over TLS"), 20000);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peer.waitForConnected(10000));
        QElapsedTimer since;
        since.start();
        QTimer dripper;
        qsizetype sent = 0;
        connect(&dripper, &QTimer::timeout, this, [&] {
            if (sent < opening.size())
                peer.write(opening.mid(sent++, 1));
        });
        if (trickle) {
            dripper.start(1000);
            peer.write(opening.mid(sent++, 1));
        } else if (!opening.isEmpty()) {
            peer.write(opening);
        }
        const QByteArray note =
            "TLS handshake with 127.0.0.1:" + QByteArray::number(peer.localPort())
            + " did not finish within 5 s";
        QTRY_VERIFY2_WITH_TIMEOUT(listener.err.contains(note), listener.err, 30000);
        QVERIFY2(since.elapsed() >= EarliestLateMs, QByteArray::number(since.elapsed()));
        QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QAbstractSocket::UnconnectedState, 10000);
        dripper.stop();
        QCOMPARE(listener.err.count(note), 1);
        ::kill(listener.process.processId(), SIGUSR1);
        QTRY_VERIFY2_WITH_TIMEOUT(listener.err.contains("dropped_peers=1"), listener.err, 10000);

        // The slot is free from the listener's next look on; a peer that comes sooner is refused
        // and tries again a little later, for as long as a slow machine may need.
        QElapsedTimer trying;
        trying.start();
        for (bool first = true; listener.out.isEmpty() && trying.elapsed() < 30000; first = false) {
            if (!first)
                QTest::qWait(200);
            QSslSocket next;
            next.setPeerVerifyMode(QSslSocket::VerifyNone);
            next.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            next.write("still here");
            QTRY_VERIFY_WITH_TIMEOUT(!listener.out.isEmpty()
                                         || next.state() == QAbstractSocket::UnconnectedState,
                                     20000);
        }
        QCOMPARE(listener.out, QByteArray("still here"));
    }

    // A handshake that finished is never given up later, however long its peer then waits.
    void finishedHandshakeNeverLate() {
        const quint16 port = freeLoopbackPort(true);
        ChildProgram listener(
            m_dir->path(), ChildProgram::shell(QStringLiteral("--headless --settings none.ini "
                                                              "--tcp --port %1 --tls --cert %2 "
                                                              "--key %3")
                                                   .arg(port)
                                                   .arg(m_made.certificateFile, m_made.keyFile)));
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over TLS"), 20000);
        QSslSocket peer;
        peer.setPeerVerifyMode(QSslSocket::VerifyNone);
        peer.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        QVERIFY(peer.waitForEncrypted(10000));
        QTest::qWait(HandshakeLimitMs + 1500);
        peer.write("after a while");
        QTRY_COMPARE_WITH_TIMEOUT(listener.out, QByteArray("after a while"), 20000);
        QVERIFY2(!listener.err.contains("did not finish"), listener.err);
        QCOMPARE(peer.state(), QAbstractSocket::ConnectedState);
    }

    // A relayed pair whose secured side does not finish its handshake in time is closed, the
    // note naming both ends and the late one.
    void relayHandshakeLate_data() {
        QTest::addColumn<bool>("lateTarget"); // else the listener's peer is late
        QTest::newRow("silent peer of the secure listener") << false;
        QTest::newRow("target that never answers") << true;
    }
    void relayHandshakeLate() {
        QFETCH(bool, lateTarget);
        ProgramFixture f;
        QTcpServer target; // accepts and says nothing
        QVERIFY(target.listen(QHostAddress::LocalHost, 0));
        TlsOptions tls = serverOptions();
        tls.enabled = !lateTarget;
        f.program().configuration().setTls(tls);
        TlsOptions client;
        client.enabled = true;
        client.insecure = true;
        f.program().configuration().setClientTls(client);
        RelayOptions options;
        options.targetHost = QStringLiteral("127.0.0.1");
        options.targetPort = target.serverPort();
        options.targetTls = lateTarget;
        f.program().configuration().setRelay(options);
        QStringList notes;
        connect(&f.program().relay(), &Relay::note, this,
                [&](const QString &text) { notes += text; });
        const quint16 port = startListener(f.form(), true);
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peer.waitForConnected(10000));
        QElapsedTimer since;
        since.start();
        if (lateTarget)
            peer.write("waits for the target");
        const QString ends = QStringLiteral("127.0.0.1:%1 -> 127.0.0.1:%2")
                                 .arg(peer.localPort())
                                 .arg(target.serverPort());
        const QString late =
            QStringLiteral("127.0.0.1:%1").arg(lateTarget ? target.serverPort() : peer.localPort());
        const QString note =
            QStringLiteral("Relay: %1 closed: TLS handshake with %2 did not finish within 5 s")
                .arg(ends, late);
        QTRY_VERIFY2_WITH_TIMEOUT(notes.contains(note), qPrintable(notes.join(u'\n')), 30000);
        QVERIFY2(since.elapsed() >= EarliestLateMs, QByteArray::number(since.elapsed()));
        QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QAbstractSocket::UnconnectedState, 10000);
    }

    // A TLS target named by a host name is verified by that name: a certificate that names the
    // host alone (no address) is good.
    void relayTargetVerifiedByName() {
        const QString made = run(QStringLiteral(
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
            "-subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout name-key.pem "
            "-out name.pem"));
        QVERIFY2(QFile::exists(m_dir->filePath("name.pem")), qPrintable(made));
        TlsOptions identity;
        identity.certificateFile = m_dir->filePath("name.pem");
        identity.keyFile = m_dir->filePath("name-key.pem");
        QString problem;
        const auto context = TlsContext::load(identity, TlsContext::Role::Server, problem);
        QVERIFY2(context, qPrintable(problem));
        // Where the relay's own lookup of the name leads.
        const QList<QHostAddress> addresses = QHostInfo::fromName("localhost").addresses();
        QVERIFY(!addresses.isEmpty() && addresses.constFirst().isLoopback());
        QSslServer target;
        target.setSslConfiguration(context->configuration());
        QVERIFY(target.listen(addresses.constFirst(), 0));
        connect(&target, &QTcpServer::pendingConnectionAvailable, this,
                [&] { target.nextPendingConnection()->write("verified"); });

        ProgramFixture f;
        TlsOptions client;
        client.enabled = true;
        client.caFile = identity.certificateFile;
        f.program().configuration().setClientTls(client);
        RelayOptions options;
        options.targetHost = QStringLiteral("localhost");
        options.targetPort = target.serverPort();
        options.targetTls = true;
        f.program().configuration().setRelay(options);
        QStringList notes;
        connect(&f.program().relay(), &Relay::note, this,
                [&](const QString &text) { notes += text; });
        const quint16 port = startListener(f.form(), true);
        QTcpSocket peer;
        QByteArray got;
        connect(&peer, &QTcpSocket::readyRead, this, [&] { got += peer.readAll(); });
        peer.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY2_WITH_TIMEOUT(got == "verified", qPrintable(notes.join(u'\n')), 20000);
    }

    // A secure send whose server accepts and never answers waits for its handshake as long as
    // --wait says (its own limit without one), then fails saying so.
    void sendHandshakeLate_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("waitMs");
        QTest::newRow("--wait longer than the limit")
            << QStringList{"--send", "x", "--wait", "6500"} << 6500;
        QTest::newRow("no --wait") << QStringList{"--send", "x"} << HandshakeLimitMs;
        QTest::newRow("file send, --wait 0")
            << QStringList{"--send-file", "x.txt", "--wait", "0"} << HandshakeLimitMs;
    }
    void sendHandshakeLate() {
        QFETCH(QStringList, arguments);
        QFETCH(int, waitMs);
        QFile file(m_dir->filePath("x.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
        file.close();
        QTcpServer server; // the system accepts; nobody ever answers
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        arguments += {"--to",       QStringLiteral("127.0.0.1:%1").arg(server.serverPort()),
                      "--tls",      "--insecure",
                      "--settings", "none.ini"};
        QElapsedTimer since;
        since.start();
        ChildProgram send(m_dir->path(), arguments);
        QVERIFY2(send.endsWith(1), send.err);
        QVERIFY2(since.elapsed() >= waitMs, QByteArray::number(since.elapsed()));
        const QByteArray why =
            "TLS handshake with 127.0.0.1:" + QByteArray::number(server.serverPort())
            + " did not finish within " + QByteArray::number(waitMs / 1000.0) + " s";
        QVERIFY2(send.err.contains(why), send.err);
    }

    // A protocol name is at most 255 bytes on the wire, counted in bytes, not characters.
    void alpnNameBound_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("255 bytes") << QString(255, u'a') << true;
        QTest::newRow("256 bytes") << QString(256, u'a') << false;
        QTest::newRow("255 bytes in 128 characters") << QString(127, u'\u00e9') + u'a' << true;
        QTest::newRow("256 bytes in 128 characters") << QString(128, u'\u00e9') << false;
    }
    void alpnNameBound() {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        QByteArrayList protocols{"kept"};
        const QString error = parseAlpn(QStringLiteral("h2,") + name, protocols);
        QCOMPARE(error.isEmpty(), accepted);
        const QByteArrayList expected =
            accepted ? QByteArrayList{"h2", name.toUtf8()} : QByteArrayList{"kept"};
        QCOMPARE(protocols, expected);
    }
};

QTEST_GUILESS_MAIN(tst_TlsBounds)
#include "tst_tls_bounds.moc"
