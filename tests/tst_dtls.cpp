// DTLS against openssl on loopback: s_client into the program's DTLS listener, and the program's
// DTLS sends into s_server; certificates made here.
#include "model/configuration.h"
#include "net/certificate_files.h"
#include "net/tls_options.h"
#include "support/child_program.h"
#include "support/loopback.h"
#include "support/program_fixture.h"
#include "support/server_tls.h"

#include <QtNetwork>
#include <QtTest>

#include <csignal>
#include <memory>

class tst_Dtls : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_cert, m_key;

    // openssl, its output gathered as it comes and its stdin held open.
    struct Tool {
        QProcess process;
        QByteArray out;
        explicit Tool(const QStringList &arguments) {
            process.setProcessChannelMode(QProcess::MergedChannels);
            QObject::connect(&process, &QProcess::readyRead, &process,
                             [this] { out += process.readAll(); });
            process.start("openssl", arguments);
            process.waitForStarted();
        }
        ~Tool() {
            process.kill();
            process.waitForFinished();
        }
    };
    // An in-process peer of the listener on a socket of its own, the certificate unchecked.
    struct DtlsClient {
        QUdpSocket socket;
        QDtls dtls{QSslSocket::SslClientMode};
        explicit DtlsClient(quint16 port, quint16 from = 0) {
            socket.bind(QHostAddress::LocalHost, from);
            QSslConfiguration configuration = QSslConfiguration::defaultDtlsConfiguration();
            configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
            dtls.setDtlsConfiguration(configuration);
            dtls.setPeer(QHostAddress::LocalHost, port);
            QObject::connect(&dtls, &QDtls::handshakeTimeout, &socket,
                             [this] { dtls.handleTimeout(&socket); });
        }
        bool say(const QByteArray &text) {
            return dtls.writeDatagramEncrypted(&socket, text) == text.size();
        }
        bool shakeHands(int ms) {
            dtls.doHandshake(&socket);
            return QTest::qWaitFor(
                [this] {
                    while (socket.hasPendingDatagrams())
                        dtls.doHandshake(&socket, socket.receiveDatagram().data());
                    return dtls.isConnectionEncrypted();
                },
                ms);
        }
    };
    ChildProgram dtlsListener(quint16 port, const QStringList &more) const {
        return ChildProgram(m_dir->path(), QStringList{"--headless", "--settings", "none.ini",
                                                       "--udp", "--port", QString::number(port),
                                                       "--tls", "--cert", m_cert, "--key", m_key}
                                               + more);
    }
    static bool boundUdp(quint16 port) {
        const QByteArray local =
            ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + ' ';
        return QTest::qWaitFor(
            [&local] {
                QFile table("/proc/net/udp"), table6("/proc/net/udp6");
                table.open(QIODevice::ReadOnly);
                table6.open(QIODevice::ReadOnly);
                return (table.readAll() + table6.readAll()).contains(local);
            },
            10000);
    }

private slots:
    void initTestCase() {
        m_dir = std::make_unique<QTemporaryDir>();
        const MadeCertificate made =
            makeSelfSignedCertificate(m_dir->filePath("own"), "sendrel-test");
        QVERIFY2(made.error.isEmpty(), qPrintable(made.error));
        m_cert = made.certificateFile;
        m_key = made.keyFile;
    }

    // A peer's bytes come out and the auto-respond answer goes back encrypted; a datagram that
    // is not of a session is told, and the listener serves the next peer all the same.
    void listener_data() {
        QTest::addColumn<QByteArray>("plainFirst"); // sent before the DTLS peer; empty: none
        QTest::addColumn<QByteArray>("told");
        QTest::newRow("s_client") << QByteArray() << QByteArray();
        QTest::newRow("plain datagram first") << QByteArray("hello") << QByteArray("no DTLS");
        QTest::newRow("garbage first")
            << QByteArray("\x16\xfe\xfd\x00\x00\x01\x02", 7) << QByteArray("no DTLS");
        QTest::newRow("record of no session first")
            << QByteArray("\x17\xfe\xfd").append(13, '\0') << QByteArray("no session here");
    }
    void listener() {
        QFETCH(QByteArray, plainFirst);
        QFETCH(QByteArray, told);
        const quint16 port = freeLoopbackPort(false);
        ChildProgram listener = dtlsListener(port, {"--respond-contains", "ping=pong"});
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over DTLS"), 20000);
        if (!plainFirst.isEmpty()) {
            QUdpSocket plain;
            plain.writeDatagram(plainFirst, QHostAddress::LocalHost, port);
            QTRY_VERIFY2_WITH_TIMEOUT(listener.err.contains(told), listener.err, 10000);
            QVERIFY(listener.out.isEmpty());
        }
        Tool client({"s_client", "-dtls1_2", "-connect", QStringLiteral("127.0.0.1:%1").arg(port),
                     "-quiet"});
        QTest::qWait(500); // the handshake, before anything is typed
        client.process.write("ping\n");
        QTRY_VERIFY2_WITH_TIMEOUT(client.out.contains("pong"), client.out, 10000);
        QCOMPARE(listener.out, QByteArray("ping\n"));
        // The status line names the peer secured.
        QVERIFY2(QRegularExpression(R"(127\.0\.0\.1:\d+: DTLSv1\.2, )")
                     .match(QString::fromUtf8(listener.err))
                     .hasMatch(),
                 listener.err);
        QCOMPARE(listener.process.state(), QProcess::Running);
        QVERIFY2(listener.terminate(), listener.err);
    }

    // A handshake that fails is told in words, and the listener serves the next peer.
    void failedHandshake_data() {
        QTest::addColumn<QStringList>("listenerOptions");
        QTest::addColumn<QString>("clientOption");
        QTest::addColumn<QString>("why");
        QTest::newRow("client does not know our CA") << QStringList{} << "-verify_return_error"
                                                     << "the peer refused it: unknown ca";
        QTest::newRow("client certificate required, none sent")
            << QStringList{"--client-cert", "require", "--ca", m_cert} << "-quiet"
            << "the peer sent no certificate";
    }
    void failedHandshake() {
        QFETCH(QStringList, listenerOptions);
        QFETCH(QString, clientOption);
        QFETCH(QString, why);
        const quint16 port = freeLoopbackPort(false);
        ChildProgram listener = dtlsListener(port, listenerOptions);
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over DTLS"), 20000);
        Tool client({"s_client", "-dtls1_2", "-connect", QStringLiteral("127.0.0.1:%1").arg(port),
                     clientOption});
        QTRY_VERIFY2_WITH_TIMEOUT(listener.err.contains(" failed: " + why.toUtf8()), listener.err,
                                  10000);
        QVERIFY2(!listener.err.contains("Dropped"), listener.err); // the rest of that handshake
        if (listenerOptions.isEmpty())
            QVERIFY(DtlsClient(port).shakeHands(5000));
        QVERIFY2(listener.terminate(), listener.err);
    }

    // A peer that returns its cookie and then falls silent holds its place for a bounded time:
    // its handshake fails in words, and the next peer is served.
    void handshakeLeftHalfway() {
        const quint16 port = freeLoopbackPort(false);
        ChildProgram listener = dtlsListener(port, {});
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over DTLS"), 20000);
        DtlsClient silent(port);
        QObject::disconnect(&silent.dtls, &QDtls::handshakeTimeout, nullptr, nullptr);
        silent.dtls.doHandshake(&silent.socket);
        QTRY_VERIFY_WITH_TIMEOUT(silent.socket.hasPendingDatagrams(), 10000); // the cookie
        silent.dtls.doHandshake(&silent.socket, silent.socket.receiveDatagram().data());
        QTRY_VERIFY_WITH_TIMEOUT(silent.socket.hasPendingDatagrams(), 10000); // its hello
        const QString failed = QStringLiteral("DTLS handshake with 127.0.0.1:%1 failed: no answer "
                                              "within 5 s")
                                   .arg(silent.socket.localPort());
        QTRY_VERIFY2_WITH_TIMEOUT(listener.err.contains(failed.toUtf8()), listener.err, 20000);
        QVERIFY(DtlsClient(port).shakeHands(5000));
        QVERIFY2(listener.terminate(), listener.err);
    }

    // A peer that starts afresh from the port of its session (a device that restarted) gets a
    // new session in place of the old one.
    void peerStartsAfresh() {
        const quint16 port = freeLoopbackPort(false);
        ChildProgram listener = dtlsListener(port, {});
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over DTLS"), 20000);
        quint16 from = 0;
        {
            DtlsClient first(port);
            QVERIFY(first.shakeHands(5000) && first.say("one "));
            from = first.socket.localPort();
            QTRY_COMPARE(listener.out, QByteArray("one "));
        }
        DtlsClient again(port, from);
        QCOMPARE(again.socket.localPort(), from);
        QVERIFY2(again.shakeHands(5000), listener.err);
        QVERIFY(again.say("two"));
        QTRY_COMPARE(listener.out, QByteArray("one two"));
        QVERIFY2(listener.terminate(), listener.err);
    }

    // Past the bound a new peer gets no session, told once and counted; the peers held still
    // reach the listener.
    void peersPastTheBound() {
        const quint16 port = freeLoopbackPort(false);
        ChildProgram listener = dtlsListener(port, {"--stats"});
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over DTLS"), 20000);
        std::vector<std::unique_ptr<DtlsClient>> peers;
        for (int i = 0; i <= 64; ++i) {
            peers.push_back(std::make_unique<DtlsClient>(port));
            QCOMPARE(peers.back()->shakeHands(i < 64 ? 5000 : 1500), i < 64);
        }
        QTRY_VERIFY2(listener.err.contains("64 DTLS peers hold sessions"), listener.err);
        peers.front()->say("still held");
        QTRY_COMPARE(listener.out, QByteArray("still held"));
        ::kill(pid_t(listener.process.processId()), SIGUSR1);
        // Once, however often its handshake was sent again.
        QTRY_VERIFY2(listener.err.contains("dropped_peers="), listener.err);
        QVERIFY2(QRegularExpression(R"(dropped_peers=1\b)")
                     .match(QString::fromUtf8(listener.err))
                     .hasMatch(),
                 listener.err);
        QVERIFY2(listener.terminate(), listener.err);
    }

    void replyNotSent_data() {
        QTest::addColumn<int>("replySize");
        QTest::addColumn<bool>("peerCloses"); // before the reply, due after 300 ms, goes
        QTest::addColumn<QString>("why");     // %1: the peer's port
        QTest::newRow("the peer ended the session")
            << 4 << true << "127.0.0.1:%1 closed the DTLS session";
        QTest::newRow("larger than a record")
            << 16385 << false << "a DTLS datagram holds at most 16384 bytes";
    }
    // A reply the session cannot carry is not sent, and the note says why.
    void replyNotSent() {
        QFETCH(int, replySize);
        QFETCH(bool, peerCloses);
        QFETCH(QString, why);
        ProgramFixture f;
        f.program().configuration().setTls(serverTls(m_cert, m_key));
        const quint16 port = startListener(f.form(), false);
        setPairs(f.form(), {"ping"}, {QString(replySize, u'p')});
        f.program().configuration().setPairOptions(0, {MatchMode::Contains, false, false, 300});
        DtlsClient peer(port);
        QVERIFY(peer.shakeHands(5000) && peer.say("ping"));
        QTRY_COMPARE(f.program().traffic().snapshot().receivedChunks, qint64(1));
        if (peerCloses)
            QVERIFY(peer.dtls.shutdown(&peer.socket));
        const QString note = "Reply to ping not sent: " + why.arg(peer.socket.localPort());
        QTRY_VERIFY2_WITH_TIMEOUT(f.form().txtNetData.text().contains(note),
                                  qPrintable(f.form().txtNetData.text()), 10000);
        QVERIFY(!peer.socket.hasPendingDatagrams());
    }

    // A UDP relay behind the DTLS listener: the peer's datagram goes on in plain text and the
    // target's answer comes back encrypted.
    void relayEndsDtls() {
        QUdpSocket target;
        QVERIFY(target.bind(QHostAddress::LocalHost, 0));
        connect(&target, &QUdpSocket::readyRead, &target, [&target] {
            const QNetworkDatagram asked = target.receiveDatagram();
            target.writeDatagram(asked.data().toUpper(), asked.senderAddress(),
                                 quint16(asked.senderPort()));
        });
        const quint16 port = freeLoopbackPort(false);
        ChildProgram listener =
            dtlsListener(port, {"--relay", "127.0.0.1:" + QString::number(target.localPort())});
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over DTLS"), 20000);
        DtlsClient peer(port);
        QVERIFY(peer.shakeHands(5000));
        peer.dtls.writeDatagramEncrypted(&peer.socket, "ping");
        QByteArray answer;
        QVERIFY(QTest::qWaitFor([&] {
            while (peer.socket.hasPendingDatagrams())
                answer +=
                    peer.dtls.decryptDatagram(&peer.socket, peer.socket.receiveDatagram().data());
            return !answer.isEmpty();
        }));
        QCOMPARE(answer, QByteArray("PING"));
        QVERIFY2(listener.terminate(), listener.err);
    }

    // A DTLS send verifies the server, and a failed check sends nothing and says which one.
    void clientSend_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("why"); // empty: sent
        const QString pin = fingerprintText(QSslCertificate::fromPath(m_cert).value(0));
        QTest::newRow("pin right") << "127.0.0.1" << QStringList{"--pin", pin} << "";
        QTest::newRow("pin wrong")
            << "127.0.0.1" << QStringList{"--pin", QString(64, u'A')} << "is not the pinned";
        QTest::newRow("verified by its CA") << "localhost" << QStringList{"--ca", m_cert} << "";
        QTest::newRow("unknown CA") << "localhost" << QStringList{} << "unknown CA";
        QTest::newRow("wrong host") << "127.0.0.2" << QStringList{"--ca", m_cert} << "wrong host";
        QTest::newRow("file send, not verified")
            << "127.0.0.1" << QStringList{"--insecure", "--send-file", "secret.txt"} << "";
    }
    void clientSend() {
        QFETCH(QString, host);
        QFETCH(QStringList, options);
        QFETCH(QString, why);
        QFile secret(m_dir->filePath("secret.txt"));
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("secret") == 6);
        secret.close();
        const quint16 port = freeLoopbackPort(false);
        // Bound to the address sent to, since it answers from the address it is bound to.
        const QString address = host == "localhost" ? "127.0.0.1" : host;
        Tool server({"s_server", "-dtls1_2", "-accept", address + u':' + QString::number(port),
                     "-cert", m_cert, "-key", m_key, "-quiet"});
        QVERIFY(boundUdp(port));
        QStringList arguments{"--to",       host + u':' + QString::number(port),
                              "--udp",      "--tls",
                              "--settings", "none.ini"};
        if (!options.contains("--send-file"))
            arguments += {"--send", "secret"};
        ChildProgram send(m_dir->path(), arguments + options);
        QVERIFY2(send.endsWith(why.isEmpty() ? 0 : 1), send.err);
        QVERIFY2(send.err.contains(why.toUtf8()), send.err);
        if (why.isEmpty())
            QTRY_VERIFY2_WITH_TIMEOUT(server.out.contains("secret"), server.out, 10000);
        else
            QVERIFY2(!server.out.contains("secret"), server.out);
    }
};

QTEST_GUILESS_MAIN(tst_Dtls)
#include "tst_dtls.moc"
