#include "listener/relay.h"
#include "net/certificate_files.h"
#include "net/tls_context.h"
#include "support/loopback.h"
#include "support/program_fixture.h"
#include "support/random_bytes.h"

#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The relay with TLS ended on the side that listens, on the side of the target, or both.
class TestRelayTls : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ProgramFixture> f;
    Form &c() { return f->form(); }

private slots:
    void init() { f = std::make_unique<ProgramFixture>(); }
    void cleanup() { f.reset(); }

    void tlsSides_data() {
        QTest::addColumn<bool>("listenTls");
        QTest::addColumn<bool>("targetTls");
        QTest::addColumn<bool>("trusted");
        QTest::newRow("listening side") << true << false << true;
        QTest::newRow("target side") << false << true << true;
        QTest::newRow("both") << true << true << true;
        QTest::newRow("untrusted target") << false << true << false;
    }

    // TLS ended on either side is read in the clear, megabytes each way unchanged; a target whose
    // certificate is not trusted closes the peer with a note naming both.
    void tlsSides() {
        QFETCH(bool, listenTls);
        QFETCH(bool, targetTls);
        QFETCH(bool, trusted);
        QTemporaryDir folder;
        const MadeCertificate made = makeSelfSignedCertificate(folder.path(), u"localhost"_qs);
        QVERIFY(made.error.isEmpty());
        TlsOptions tls;
        tls.certificateFile = made.certificateFile;
        tls.keyFile = made.keyFile;
        QString problem;
        const auto context = TlsContext::load(tls, TlsContext::Role::Server, problem);
        QVERIFY(context);
        const QByteArray down = randomBytes(3 << 20);
        const QByteArray up = randomBytes(2 << 20);
        QSslServer secure;
        QTcpServer plain;
        QTcpServer &server = targetTls ? secure : plain;
        secure.setSslConfiguration(context->configuration());
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QByteArray atTarget;
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [&] {
            QTcpSocket *peer = server.nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [&, peer] { atTarget += peer->readAll(); });
            peer->write(down);
        });
        if (trusted)
            QVERIFY(parsePin(made.fingerprint, tls.pin).isEmpty());
        tls.enabled = listenTls;
        f->program().configuration().setTls(tls);
        f->program().configuration().setClientTls(tls);
        RelayOptions options;
        options.targetHost = u"127.0.0.1"_qs;
        options.targetPort = server.serverPort();
        options.targetTls = targetTls;
        f->program().configuration().setRelay(options);
        QStringList notes;
        connect(&f->program().relay(), &Relay::note, this,
                [&](const QString &text) { notes += text; });
        const quint16 port = startListener(c(), true);
        QSslSocket client;
        client.setPeerVerifyMode(QSslSocket::VerifyNone);
        QByteArray got;
        connect(&client, &QTcpSocket::readyRead, this, [&] { got += client.readAll(); });
        if (listenTls)
            client.connectToHostEncrypted(u"127.0.0.1"_qs, port);
        else
            client.connectToHost(QHostAddress::LocalHost, port);
        client.write(up);
        if (!trusted) {
            QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
            QVERIFY(notes.join(u'\n').contains(
                u"closed: TLS with the target 127.0.0.1:%1 failed: unknown CA"_qs.arg(
                    server.serverPort())));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), down.size(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(atTarget.size(), up.size(), 30000);
        QCOMPARE(sha(got), sha(down));
        QCOMPARE(sha(atTarget), sha(up));
        QCOMPARE(notes.join(u'\n').count(u" secured: TLSv1.3"_qs), int(listenTls + targetTls));
    }
};

QTEST_GUILESS_MAIN(TestRelayTls)
#include "tst_relay_tls.moc"
