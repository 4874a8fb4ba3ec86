// What the window leaves alone: a status monitor's stop that it does not hold.
#include "listener/listener.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "support/loopback.h"
#include "support/window_fixture.h"

#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

class tst_Conformance : public QObject {
    Q_OBJECT

    std::unique_ptr<WindowFixture> m_fixture;
    Program &program() { return m_fixture->window().program(); }
    Form &form() { return m_fixture->form(); }
    SocketControl *element(int index) { return program().sockets().listenSock->element(index); }

private slots:
    void init() { m_fixture = std::make_unique<WindowFixture>(); }
    void cleanup() { m_fixture.reset(); }

    // A socket gone bad is stopped by the status monitor; its error text stands for one tick,
    // then the idle text takes its place, with no Stop pressed.
    void monitorStop_errorForOneTick_data() {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("TCP, connection slot bound as UDP") << true;
        QTest::newRow("UDP, listener listening as TCP") << false;
    }
    void monitorStop_errorForOneTick() {
        QFETCH(bool, tcp);
        startListener(form(), tcp);
        QVERIFY(program().listener().state().open());
        QStringList seen; // the short status line after each tick
        connect(&program().tmrMain(), &QTimer::timeout, this,
                [&] { seen.append(form().lblStatus[0]->Text()); });
        SocketControl *bad = element(0);
        if (tcp) {
            program().sockets().listenSock->Load(1);
            bad = element(1);
            bad->setProtocol(SocketControl::UdpProtocol);
        } else {
            bad->Close();
            bad->setProtocol(SocketControl::TcpProtocol);
        }
        bad->setLocalPort(0);
        QVERIFY(tcp ? bad->Bind() : bad->Listen());
        QTRY_VERIFY_WITH_TIMEOUT(seen.size() >= 2 && seen.contains(u"Connection Error"_s), 20000);
        QTRY_VERIFY(seen.size() >= seen.indexOf(u"Connection Error"_s) + 3);
        const qsizetype stop = seen.indexOf(u"Connection Error"_s);
        QCOMPARE(seen.mid(stop, 3),
                 QStringList({u"Connection Error"_s, u"Not Connected"_s, u"Not Connected"_s}));
        QCOMPARE(element(0)->State(), SocketControl::Closed);
        QVERIFY(form().btnConnect.Visible());
    }
};

QTEST_MAIN(tst_Conformance)
#include "tst_conformance.moc"
