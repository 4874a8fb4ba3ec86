// The listener's state as its own value: the sequences it announces, without a window.
#include "listener/listener.h"
#include "model/configuration.h"
#include "model/last_received.h"
#include "model/traffic_counters.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "program/status_texts.h"
#include "sender/sender.h"
#include "support/fake_clock.h"
#include "support/loopback.h"
#include "support/program_fixture.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

class tst_ListenerState : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ProgramFixture> m_fixture;
    std::vector<std::unique_ptr<QTcpSocket>> m_peers;
    QTcpServer m_holder;
    QString m_phases; // one letter per announced state

    Form &c() { return m_fixture->form(); }
    Listener &listener() { return m_fixture->program().listener(); }

    static QChar letter(ListenerPhase phase) {
        switch (phase) {
        case ListenerPhase::Idle:
            return u'I';
        case ListenerPhase::Listening:
            return u'L';
        case ListenerPhase::PeerConnected:
            return u'P';
        case ListenerPhase::Failed:
            return u'F';
        }
        return u'?';
    }

    QTcpSocket *connectPeer() {
        m_peers.push_back(std::make_unique<QTcpSocket>());
        m_peers.back()->connectToHost(QHostAddress::LocalHost, quint16(listener().state().port));
        return m_peers.back().get();
    }

    bool step(const QString &name) {
        if (name == u"tcp" || name == u"udp") {
            startListener(c(), name == u"tcp");
        } else if (name == u"busy") {
            if (!m_holder.listen(QHostAddress::Any, 0))
                return false;
            c().optTCP[0]->setValue(1);
            c().txtListenPort.setText(QString::number(m_holder.serverPort()));
            c().btnConnect.Click();
        } else if (name == u"peer") {
            connectPeer();
            return QTest::qWaitFor(
                [this] { return listener().state().phase == ListenerPhase::PeerConnected; });
        } else if (name == u"second") {
            QTcpSocket *second = connectPeer();
            return QTest::qWaitFor(
                [second] { return second->state() == QAbstractSocket::UnconnectedState; });
        } else if (name == u"leave") {
            m_peers.front()->disconnectFromHost();
            return QTest::qWaitFor(
                [this] { return listener().state().phase == ListenerPhase::Listening; });
        } else if (name == u"drop") {
            listener().listenSock_Error(1, 10055, QStringLiteral("No buffer space available."), {});
        } else if (name == u"error") {
            listener().listenSock_Error(0, 10050, QStringLiteral("Network is down."), {});
        } else if (name == u"stop") {
            c().btnDisconnect.Click();
        }
        return true;
    }

private slots:
    void init() {
        m_fixture = std::make_unique<ProgramFixture>();
        m_phases.clear();
        connect(&listener(), &Listener::stateChanged, this,
                [this](const ListenerState &state) { m_phases += letter(state.phase); });
    }
    void cleanup() {
        m_peers.clear();
        m_fixture.reset();
        m_holder.close();
    }

    // Steps, and the phases announced after each: Idle, Listening, PeerConnected, Failed.
    void sequence_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("phases");
        QTest::newRow("start and stop") << QStringList{"tcp", "stop"} << QStringList{"L", "I"};
        QTest::newRow("udp") << QStringList{"udp", "stop"} << QStringList{"L", "I"};
        QTest::newRow("peer, refuse, leave, restart")
            << QStringList{"tcp", "peer", "second", "leave", "stop"}
            << QStringList{"L", "P", "", "L", "I"};
        QTest::newRow("start fails, then starts")
            << QStringList{"busy", "tcp"} << QStringList{"F", "L"};
        QTest::newRow("listener error")
            << QStringList{"tcp", "error", "stop"} << QStringList{"L", "F", "I"};
        QTest::newRow("peer dropped")
            << QStringList{"tcp", "peer", "drop", "stop"} << QStringList{"L", "P", "L", "I"};
    }
    void sequence() {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, phases);
        for (int i = 0; i < steps.size(); ++i) {
            m_phases.clear();
            QVERIFY2(step(steps[i]), qPrintable(steps[i]));
            QCOMPARE(m_phases, phases[i]);
            // The status line says what the state is.
            QCOMPARE(::listenerLine(listener().state()), c().lblStatus[0]->Text());
        }
    }

    // Each Start, restart, failure and Stop tells one change and saves once, on a listener
    // whose saves are counted.
    void transition_oneChangeOneSave_data() {
        QTest::addColumn<bool>("openFirst");
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("phase");
        QTest::newRow("start") << false << "start" << int(ListenerPhase::Listening);
        QTest::newRow("restart") << true << "start" << int(ListenerPhase::Listening);
        QTest::newRow("start fails") << false << "busy" << int(ListenerPhase::Failed);
        QTest::newRow("restart fails") << true << "busy" << int(ListenerPhase::Failed);
        QTest::newRow("failure while open") << true << "fail" << int(ListenerPhase::Failed);
        QTest::newRow("stop") << true << "stop" << int(ListenerPhase::Idle);
    }
    void transition_oneChangeOneSave() {
        QFETCH(bool, openFirst);
        QFETCH(QString, step);
        QFETCH(int, phase);
        Form form;
        SocketArray listenSock;
        SocketControl sendSock;
        TrafficCounters traffic;
        Configuration configuration;
        FakeClock clock;
        LastReceived last;
        int saves = 0;
        Listener bare(form, {&listenSock, &sendSock}, traffic, configuration, clock, last,
                      [&saves] { ++saves; });
        form.txtListenPort.setText(QString::number(freeLoopbackPort(true)));
        if (openFirst)
            bare.StartListening();
        QSignalSpy changes(&bare, &Listener::stateChanged);
        saves = 0;
        if (step == u"busy") {
            QVERIFY(m_holder.listen(QHostAddress::Any, 0));
            form.txtListenPort.setText(QString::number(m_holder.serverPort()));
        }
        if (step == u"start" || step == u"busy")
            bare.StartListening();
        else if (step == u"fail")
            bare.fail({ListenerReason::Kind::PortUnavailable});
        else
            bare.StopListening();
        QCOMPARE(changes.size(), 1);
        QCOMPARE(int(bare.state().phase), phase);
        QCOMPARE(saves, 1);
    }

    // The protocol chosen at Start holds while the listener is open, whatever the option says.
    void protocol_heldFromStart() {
        startListener(c(), false);
        c().optTCP[0]->setValue(1);
        QVERIFY(listener().state().open());
        QVERIFY(!listener().state().tcp);
        QVERIFY(!listener().state().openTcp());
    }

    // The send-state tick finds the peer; a Stop or a restart takes it away at once, not a tick
    // later.
    void sender_peerReachable_data() {
        QTest::addColumn<bool>("restart");
        QTest::addColumn<QString>("caption");
        QTest::newRow("stop") << false << u"Client Mode Send IP Address:"_s;
        QTest::newRow("restart") << true << NoPeerSendCaption;
    }
    void sender_peerReachable() {
        QFETCH(bool, restart);
        QFETCH(QString, caption);
        startListener(c(), true);
        QSignalSpy reachable(&m_fixture->program().sender(), &Sender::peerReachableChanged);
        connectPeer();
        QTRY_COMPARE(reachable.size(), 1);
        QCOMPARE(reachable[0], (QVariantList{true, QStringLiteral("127.0.0.1")}));
        QVERIFY(c().btnSendData.Enabled());
        if (restart)
            listener().StartListening();
        else
            c().btnDisconnect.Click();
        QCOMPARE(reachable.size(), 2);
        QCOMPARE(reachable[1], (QVariantList{false, QString()}));
        QCOMPARE(c().lblSendIP.Text(), caption);
    }

    // What the status line reads for a state: a reason, where one is held, stands for the rest.
    void listenerLine_data() {
        QTest::addColumn<int>("phase");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("shown");
        const auto L = int(ListenerPhase::Listening);
        using Kind = ListenerReason::Kind;
        QTest::newRow("listening")
            << L << int(Kind::None) << QString() << u"Waiting for TCP data on port 7000"_s;
        QTest::newRow("listening, peer dropped")
            << L << int(Kind::SocketError) << u"No buffer space available."_s
            << u"Connection closed because of error:\r\n10055 - No buffer space available."_s;
        QTest::newRow("peer connected, handshake failed")
            << int(ListenerPhase::PeerConnected) << int(Kind::SecureProblem) << u"TLS failed"_s
            << u"TLS failed"_s;
        QTest::newRow("idle") << int(ListenerPhase::Idle) << int(Kind::None) << QString()
                              << u"Connection Closed"_s;
        QTest::newRow("idle, stopped by the monitor")
            << int(ListenerPhase::Idle) << int(Kind::MonitorStopped) << QString()
            << u"Connection Error"_s;
        QTest::newRow("failed")
            << int(ListenerPhase::Failed) << int(Kind::PortUnavailable) << QString()
            << u"Error while attempting connection.\r\nPort may already be in use"_s;
    }
    void listenerLine() {
        QFETCH(int, phase);
        QFETCH(int, kind);
        QFETCH(QString, detail);
        QFETCH(QString, shown);
        ListenerState state;
        state.phase = ListenerPhase(phase);
        state.port = 7000;
        state.reason = {ListenerReason::Kind(kind), {10055, detail}, detail};
        QCOMPARE(::listenerLine(state), shown);
    }

    void peerAndReason_inTheState() {
        startListener(c(), true);
        QTcpSocket *peer = connectPeer();
        QVERIFY(
            QTest::qWaitFor([peer] { return peer->state() == QAbstractSocket::ConnectedState; }));
        QTRY_COMPARE(listener().state().peer,
                     QStringLiteral("127.0.0.1:%1").arg(peer->localPort()));
        step(QStringLiteral("drop"));
        QVERIFY(listener().state().peer.isEmpty());
        QCOMPARE(::listenerLine(listener().state()),
                 QStringLiteral("Connection closed because of error:\r\n10055 - No buffer space "
                                "available."));
    }
};

QTEST_GUILESS_MAIN(tst_ListenerState)
#include "tst_listener_state.moc"
