// A peer's address and port as the operator reads them: an IPv6 address in brackets, an IPv4
// one dotted, on the status line, in the time-stamp line and in an answer's %PEER%.
#include "listener/listener.h"
#include "support/loopback.h"
#include "support/program_fixture.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

class tst_HostPortTexts : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramFixture> m_fixture;
    Form &c() { return m_fixture->form(); }

private slots:
    void init() { m_fixture = std::make_unique<ProgramFixture>(); }
    void cleanup() { m_fixture.reset(); }

    void peerText_data() {
        QTest::addColumn<bool>("ipv6");
        QTest::addColumn<bool>("relayed");
        QTest::newRow("IPv4 peer") << false << false;
        QTest::newRow("IPv6 peer") << true << false;
        QTest::newRow("IPv4 peer, relayed") << false << true;
        QTest::newRow("IPv6 peer, relayed") << true << true;
    }
    void peerText() {
        QFETCH(bool, ipv6);
        QFETCH(bool, relayed);
        if (QTcpServer probe; ipv6 && !probe.listen(QHostAddress::LocalHostIPv6, 0))
            QSKIP("no IPv6 loopback here");
        QTcpServer target;
        if (relayed) {
            QVERIFY(target.listen(QHostAddress::LocalHost, 0));
            RelayOptions options;
            options.targetHost = u"127.0.0.1"_s;
            options.targetPort = target.serverPort();
            m_fixture->program().configuration().setRelay(options);
        }
        // An exact pair answers as typed; the other modes fill in tokens.
        m_fixture->program().configuration().setPairOptions(0, {MatchMode::Contains});
        setPairs(c(), {u"ping"_s}, {u"%PEER%"_s});
        c().txtNetData.setShowTimeStamps(true);
        const quint16 port = startListener(c(), true);
        QVERIFY(m_fixture->program().listener().state().open());

        QTcpSocket client;
        client.connectToHost(ipv6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(10000));
        const QString peer = (ipv6 ? u"[::1]:%1"_s : u"127.0.0.1:%1"_s).arg(client.localPort());
        if (!relayed)
            QTRY_COMPARE(m_fixture->program().listener().state().peer, peer);
        else
            QTRY_VERIFY_WITH_TIMEOUT(target.hasPendingConnections(), 10000);
        client.write("ping");
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += client.readAll()).endsWith("\r\n"), 10000);
        QCOMPARE(answer, peer.toLatin1() + "\r\n");
        const QString ends = relayed ? peer + u" -> 127.0.0.1:%1"_s.arg(target.serverPort()) : peer;
        QVERIFY2(c().txtNetData.text().contains(u"] "_s + ends + u", 4 bytes"_s),
                 qPrintable(c().txtNetData.text()));
    }
};

QTEST_GUILESS_MAIN(tst_HostPortTexts)
#include "tst_host_port_texts.moc"
