// TLS against real peers on loopback: openssl, socat and curl on the other end of the program's
// secure listener and secure sends, certificates made here.
#include "listener/listener.h"
#include "net/certificate_files.h"
#include "net/tls_context.h"
#include "program/program.h"
#include "settings/settings_store.h"
#include "support/child_program.h"
#include "support/file_bytes.h"
#include "support/log_entries.h"
#include "support/loopback.h"
#include "support/program_fixture.h"
#include "support/server_tls.h"

#include <QtNetwork>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

class tst_Tls : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_cert, m_key; // made for this run: localhost, 127.0.0.1 and ::1

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // A tool's process, its stdin held open (s_server ends at the end of its input).
    std::unique_ptr<QProcess> tool(const QString &program, const QStringList &arguments) {
        auto process = std::make_unique<QProcess>();
        process->setWorkingDirectory(m_dir->path());
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(program, arguments);
        process->waitForStarted();
        return process;
    }
    // Listening, as the system's table says: a probe connection would use up a peer that
    // takes one connection only.
    static bool listensOn(quint16 port) {
        const QByteArray local =
            ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
        return QTest::qWaitFor(
            [&local] {
                QFile table("/proc/net/tcp"), table6("/proc/net/tcp6");
                table.open(QIODevice::ReadOnly);
                table6.open(QIODevice::ReadOnly);
                for (const QByteArray &line : (table.readAll() + table6.readAll()).split('\n')) {
                    const QList<QByteArray> fields = line.simplified().split(' ');
                    if (fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "0A")
                        return true;
                }
                return false;
            },
            10000);
    }
    ChildProgram secureListener(quint16 port, const QString &options) {
        return ChildProgram(m_dir->path(),
                            ChildProgram::shell(QStringLiteral("--headless --settings none.ini "
                                                               "--tcp --port %1 --tls %2")
                                                    .arg(port)
                                                    .arg(options)));
    }
    QString identity() const { return QStringLiteral("--cert %1 --key %2").arg(m_cert, m_key); }
    // A command of a table row with its port, the own certificate, key and fingerprint.
    QString fill(QString text, quint16 port) const {
        const QString pin = fingerprintText(QSslCertificate::fromPath(m_cert).value(0));
        return text.replace("%PORT", QString::number(port))
            .replace("%CERT", m_cert)
            .replace("%KEY", m_key)
            .replace("%PINHEX", QString(pin).remove(u':'))
            .replace("%PIN", pin);
    }
    QByteArray run(const QString &command, int *exitCode = nullptr) const {
        QProcess shell;
        shell.setWorkingDirectory(m_dir->path());
        shell.start("/bin/sh", {"-c", command});
        shell.waitForFinished(60000);
        if (exitCode)
            *exitCode = shell.exitCode();
        return shell.readAllStandardOutput() + shell.readAllStandardError();
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        const MadeCertificate made = makeSelfSignedCertificate(path("own"), "sendrel-test");
        QVERIFY2(made.error.isEmpty(), qPrintable(made.error));
        m_cert = made.certificateFile;
        m_key = made.keyFile;
    }

    // The command line's certificate: the key for its owner alone, the certificate its own
    // trust anchor, its fingerprint printed as openssl prints it.
    void makeCert_verifiesWithItself() {
        ChildProgram made(m_dir->path(), {"--make-cert", path("made")});
        QVERIFY(made.endsWith(0));
        const QString cert = path("made/sendrel-certificate.pem");
        QCOMPARE(QFile(path("made/sendrel-key.pem")).permissions() & 0x0777,
                 QFile::ReadUser | QFile::WriteUser);
        QVERIFY(run(QStringLiteral("openssl verify -CAfile %1 %1").arg(cert)).contains(": OK"));
        const QByteArray printed = run("openssl x509 -noout -fingerprint -sha256 -in " + cert);
        QVERIFY2(made.out.contains(printed.mid(printed.indexOf('=') + 1).trimmed()), made.out);
        ChildProgram again(m_dir->path(), {"--make-cert", path("made")});
        QVERIFY(again.endsWith(1)); // an existing certificate is kept
    }

    // A listener whose certificate or key cannot be used says why and never listens.
    void unusableIdentity_data() {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("why");
        QTest::newRow("key of another certificate") << "--cert %CERT --key other/sendrel-key.pem"
                                                    << "does not belong to the certificate";
        QTest::newRow("missing certificate") << "--cert none.pem --key %KEY"
                                             << "cannot be read";
        QTest::newRow("protected key, no passphrase") << "--cert %CERT --key locked.pem"
                                                      << "needs its passphrase";
        QTest::newRow("protected key, wrong passphrase")
            << "--cert %CERT --key locked.pem --key-pass-file wrong.txt"
            << "passphrase does not open";
        QTest::newRow("required client certificates without a CA")
            << "--cert %CERT --key %KEY --client-cert require"
            << "needs the CA file";
    }
    void unusableIdentity() {
        QFETCH(QString, options);
        QFETCH(QString, why);
        QVERIFY(makeSelfSignedCertificate(path("other"), "other").error.isEmpty());
        run(QStringLiteral("cd %1 && openssl pkey -in %2 -aes256 -passout pass:right -out "
                           "locked.pem && echo wrong > wrong.txt")
                .arg(m_dir->path(), m_key));
        const quint16 port = freeLoopbackPort(true);
        ChildProgram listener = secureListener(port, fill(options, port));
        QVERIFY2(listener.endsWith(1), listener.err);
        QVERIFY2(listener.err.contains(why.toUtf8()), listener.err);
    }

    // A secure listener whose port is taken tells the system's reason, not a guess at it.
    void portTaken_toldAsTheSystemSaysIt() {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        ChildProgram listener = secureListener(holder.serverPort(), identity());
        QVERIFY2(listener.endsWith(1), listener.err);
        QVERIFY2(listener.err.contains("Error while attempting connection. 10048 - Address "
                                       "already in use."),
                 listener.err);
    }

    // Several MiB byte for byte, into the listener and out of a secure send; the peer that
    // sends and closes at once loses nothing on screen or in the log.
    void bytesExact_data() {
        QTest::addColumn<bool>("intoListener");
        QTest::addColumn<QString>("peer");
        QTest::newRow("socat into the listener")
            << true << "socat -u OPEN:data.bin OPENSSL:127.0.0.1:%PORT,verify=0";
        QTest::newRow("s_client sends and closes at once")
            << true << "openssl s_client -connect 127.0.0.1:%PORT -quiet -no_ign_eof < data.bin";
        QTest::newRow("secure file send into socat")
            << false
            << "socat -u OPENSSL-LISTEN:%PORT,reuseaddr,verify=0,cert=%CERT,key=%KEY "
               "CREATE:got.bin";
    }
    void bytesExact() {
        QFETCH(bool, intoListener);
        QFETCH(QString, peer);
        QByteArray data(6 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < data.size(); ++i)
            data[i] = char((i * 7919) >> 8);
        QFile file(path("data.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
        file.close();
        const quint16 port = freeLoopbackPort(true);
        const QString command = fill(peer, port);
        if (intoListener) {
            ChildProgram listener = ChildProgram(
                m_dir->path(), ChildProgram::shell(QStringLiteral("--headless --settings none.ini "
                                                                  "--tcp --port %1 --tls %2 "
                                                                  "--log logs > got.bin")
                                                       .arg(port)
                                                       .arg(identity())));
            QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over TLS"), 20000);
            run(command);
            QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(path("got.bin")).size(), data.size(), 30000);
            // Each chunk reaches stdout just before its log entry is written.
            const QStringList logs = QDir(path("logs")).entryList(QDir::Files);
            QCOMPARE(logs.size(), 1);
            QTRY_VERIFY_WITH_TIMEOUT(loggedData(path("logs/") + logs.first()) == data, 10000);
            QVERIFY2(listener.terminate(), listener.err);
        } else {
            const std::unique_ptr<QProcess> socat = tool("/bin/sh", {"-c", command});
            QVERIFY(listensOn(port));
            ChildProgram send(m_dir->path(), {"--send-file", "data.bin", "--to",
                                              QStringLiteral("127.0.0.1:%1").arg(port), "--tls",
                                              "--insecure", "--settings", "none.ini"});
            QVERIFY2(send.endsWith(0), send.err);
            QTRY_COMPARE_WITH_TIMEOUT(socat->state(), QProcess::NotRunning, 30000);
        }
        QVERIFY(fileBytes(path("got.bin")) == data);
    }

    // A handshake that fails is told in words, and the listener goes on listening, with the
    // certificate its files hold when it reopens.
    void failedHandshake_data() {
        QTest::addColumn<QString>("listenerOptions");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("why");
        QTest::addColumn<bool>("replaced"); // the certificate and key, in place, while listening
        QTest::newRow("plain client") << ""
                                      << "printf 'hello\\n' | socat -t1 - TCP:127.0.0.1:%PORT"
                                      << "the peer sent plain text" << false;
        QTest::newRow("client certificate required, none sent")
            << "--client-cert require --ca %CERT"
            << "openssl s_client -connect 127.0.0.1:%PORT -CAfile %CERT < /dev/null"
            << "the peer sent no certificate" << false;
        QTest::newRow("client does not know our CA")
            << ""
            << "openssl s_client -connect 127.0.0.1:%PORT -verify_return_error < /dev/null"
            << "unknown CA" << false;
        QTest::newRow("certificate replaced, then a plain client")
            << ""
            << "printf 'hello\\n' | socat -t1 - TCP:127.0.0.1:%PORT"
            << "the peer sent plain text" << true;
    }
    void failedHandshake() {
        QFETCH(QString, listenerOptions);
        QFETCH(QString, peer);
        QFETCH(QString, why);
        QFETCH(bool, replaced);
        const quint16 port = freeLoopbackPort(true);
        ChildProgram listener =
            secureListener(port, identity() + u' ' + fill(listenerOptions, port));
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over TLS"), 20000);
        if (replaced) {
            const MadeCertificate next = makeSelfSignedCertificate(path("next"), "sendrel-test");
            QVERIFY2(next.error.isEmpty(), qPrintable(next.error));
            for (const auto &[from, to] :
                 {std::pair(next.certificateFile, m_cert), std::pair(next.keyFile, m_key)}) {
                QFile file(to);
                QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
                QVERIFY(file.write(fileBytes(from)) > 0);
            }
        }
        run(fill(peer, port));
        QTRY_VERIFY2_WITH_TIMEOUT(listener.err.contains(why.toUtf8()), listener.err, 10000);
        QTest::qWait(300); // the listener reopens at its next tick
        run(QStringLiteral("printf 'still here' | openssl s_client -connect 127.0.0.1:%1 "
                           "-quiet -no_ign_eof -cert %2 -key %3 -CAfile %2 -verify_return_error")
                .arg(port)
                .arg(m_cert, m_key));
        QTRY_COMPARE_WITH_TIMEOUT(listener.out, QByteArray("still here"), 10000);
        QCOMPARE(listener.err.count("TLS handshake with"), 1); // told once, not again as status
        QVERIFY2(listener.terminate(), listener.err);
    }

    // A secure send verifies the server, and a failed check sends nothing and says which one.
    void clientChecks_data() {
        QTest::addColumn<QString>("server"); // own, or expired
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("why"); // empty: sent
        QTest::newRow("verified by its CA") << "own"
                                            << "localhost"
                                            << "--ca %CERT"
                                            << "";
        QTest::newRow("unknown CA") << "own"
                                    << "localhost"
                                    << ""
                                    << "unknown CA";
        QTest::newRow("wrong host") << "own"
                                    << "127.0.0.2"
                                    << "--ca %CERT"
                                    << "wrong host";
        QTest::newRow("expired") << "expired"
                                 << "localhost"
                                 << "--ca expired/sendrel-certificate.pem"
                                 << "certificate has expired";
        QTest::newRow("pin right") << "own"
                                   << "127.0.0.2"
                                   << "--pin %PIN"
                                   << "";
        QTest::newRow("pin right, without colons") << "own"
                                                   << "localhost"
                                                   << "--pin %PINHEX"
                                                   << "";
        QTest::newRow("pin wrong") << "expired"
                                   << "localhost"
                                   << "--pin %PIN"
                                   << "is not the pinned";
        QTest::newRow("not verified") << "expired"
                                      << "127.0.0.2"
                                      << "--insecure"
                                      << "";
    }
    void clientChecks() {
        QFETCH(QString, server);
        QFETCH(QString, host);
        QFETCH(QString, options);
        QFETCH(QString, why);
        QVERIFY(makeSelfSignedCertificate(path("expired"), "expired", -1).error.isEmpty());
        const QString cert = server == "own" ? m_cert : path("expired/sendrel-certificate.pem");
        const QString key = server == "own" ? m_key : path("expired/sendrel-key.pem");
        const quint16 port = freeLoopbackPort(true);
        const std::unique_ptr<QProcess> peer =
            tool("socat", {"-u",
                           QStringLiteral("OPENSSL-LISTEN:%1,reuseaddr,verify=0,cert=%2,key=%3")
                               .arg(port)
                               .arg(cert, key),
                           "-"});
        QVERIFY(listensOn(port));
        QStringList arguments{
            "--send", "secret",     "--to",    host + u':' + QString::number(port),
            "--tls",  "--settings", "none.ini"};
        arguments += fill(options, port).split(u' ', Qt::SkipEmptyParts);
        ChildProgram send(m_dir->path(), arguments);
        QVERIFY2(send.endsWith(why.isEmpty() ? 0 : 1), send.err);
        QVERIFY2(send.err.contains(why.toUtf8()), send.err);
        if (why.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(peer->state(), QProcess::NotRunning, 10000);
        QCOMPARE(peer->readAll().contains("secret"), why.isEmpty());
    }

    // The TLS keys come after every other key, only once changed, and read back as written;
    // a passphrase is never stored.
    void settingsKeys() {
        const SettingsStore store({m_dir->path(), m_dir->path(), m_dir->path(), path("s.ini")});
        Settings settings;
        store.SaveSettings(settings);
        QVERIFY(!fileBytes(path("s.ini")).contains("Tls"));
        settings.tls = {true,  m_cert, m_key, {}, m_cert, ClientCertificates::Require,
                        false, {},     {}};
        settings.clientTls.enabled = true;
        settings.clientTls.insecure = true;
        QVERIFY(parsePin(fill("%PIN", 0), settings.clientTls.pin).isEmpty());
        settings.clientTls.alpn = {"h2", "http/1.1"};
        store.SaveSettings(settings);
        const QByteArray text = fileBytes(path("s.ini"));
        QVERIFY(text.indexOf("TlsEnabled=1") > text.indexOf("ResponseString6"));
        const Settings back = store.LoadSettings();
        QVERIFY(back.badValues.isEmpty());
        QVERIFY(back.tls == settings.tls);
        QVERIFY(back.clientTls == settings.clientTls);
    }

    // A context is kept while its options and the bytes of its files are the same; anything
    // else makes a new one from what the files hold now.
    void keptContext_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("kept");
        QTest::newRow("nothing") << "" << true;
        QTest::newRow("files rewritten with another identity") << "files" << false;
        QTest::newRow("client certificates asked for") << "clients" << false;
        QTest::newRow("the other role") << "role" << false;
    }
    void keptContext() {
        QFETCH(QString, change);
        QFETCH(bool, kept);
        TlsOptions options = serverTls(m_cert, m_key);
        QString problem;
        const auto first = TlsContext::load(options, TlsContext::Role::Server, problem);
        QVERIFY2(first, qPrintable(problem));
        TlsContext::Role role = TlsContext::Role::Server;
        if (change == "files") {
            const MadeCertificate other = makeSelfSignedCertificate(path("other"), "other");
            for (const auto &[from, to] :
                 {std::pair{other.certificateFile, m_cert}, std::pair{other.keyFile, m_key}})
                QVERIFY(QFile::remove(to) && QFile::copy(from, to));
        } else if (change == "clients") {
            options.clientCertificates = ClientCertificates::Request;
        } else if (change == "role") {
            role = TlsContext::Role::Client;
        }
        const auto next = TlsContext::load(options, role, problem, first);
        QVERIFY2(next, qPrintable(problem));
        QCOMPARE(next == first, kept);
        QCOMPARE(next->role(), role);
        QCOMPARE(next->options().clientCertificates, options.clientCertificates);
        QCOMPARE(next->fingerprint(), fingerprintText(QSslCertificate::fromPath(m_cert).value(0)));
    }

    // A certificate handed through a pipe (`--cert <(...)`) tells no size and is read whole.
    void pemFromPipe() {
        const QString fifo = path("pipe.pem");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QProcess writer;
        writer.start("/bin/sh", {"-c", "cat \"$0\" > \"$1\"", m_cert, fifo});
        QByteArray bytes;
        QString error;
        QVERIFY2(readPemFile(fifo, bytes, error), qPrintable(error));
        QCOMPARE(bytes, fileBytes(m_cert));
        QVERIFY(writer.waitForFinished());
    }

    // The protocol the client agreed on is told with the session it came in.
    void agreedProtocolTold() {
        const quint16 port = freeLoopbackPort(true);
        ChildProgram listener = secureListener(port, identity() + " --alpn h2");
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over TLS"), 20000);
        run(fill("printf x | openssl s_client -connect 127.0.0.1:%PORT -alpn h2 -quiet -no_ign_eof",
                 port));
        QTRY_VERIFY2_WITH_TIMEOUT(listener.err.contains(", ALPN h2"), listener.err, 10000);
        QVERIFY2(listener.terminate(), listener.err);
    }

    // A listener started again with TLS turned off listens in plain text.
    void turnedOff_listensPlain() {
        ProgramFixture f;
        TlsOptions tls = serverTls(m_cert, m_key);
        f.program().configuration().setTls(tls);
        startListener(f.form(), true);
        const Listener &listener = f.program().listener();
        QTRY_VERIFY(listener.state().open() && listener.state().secure);
        f.form().btnDisconnect.Click();
        QTRY_VERIFY(!listener.state().open());
        tls.enabled = false;
        f.program().configuration().setTls(tls);
        f.form().btnConnect.Click();
        QTRY_VERIFY(listener.state().open());
        QVERIFY(!listener.state().secure);
    }

    // The HTTPS 404 catcher, as curl sees it through a verified connection.
    void httpsNotFound() {
        const quint16 port = freeLoopbackPort(true);
        ChildProgram listener = secureListener(port, identity() + " --http");
        QTRY_VERIFY_WITH_TIMEOUT(listener.err.contains("over TLS"), 20000);
        int exitCode = -1;
        const QByteArray reply =
            run(QStringLiteral("curl -si --cacert %1 https://localhost:%2/x").arg(m_cert).arg(port),
                &exitCode);
        QVERIFY2(exitCode == 0 && reply.startsWith("HTTP/1.0 404 Not Found"), reply);
        QVERIFY2(listener.terminate(), listener.err);
    }
};

QTEST_GUILESS_MAIN(tst_Tls)
#include "tst_tls.moc"
