#include "net/socket_control.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace {

enum class Course { CloseOwn, Refused, PeerCloses, DeliverAfterClose };

// What the control told, in order: each state's number, C for ConnectionMade, E for Error, P for
// PeerClosed and D for DeliveryEnded.
struct Told {
    QStringList events;
    explicit Told(SocketControl &control) {
        const auto add = [this](const QString &event) { events.append(event); };
        QObject::connect(
            &control, &SocketControl::StateChanged, &control,
            [add](SocketControl::StateCode state) { add(QString::number(int(state))); });
        QObject::connect(&control, &SocketControl::ConnectionMade, &control,
                         [add] { add(u"C"_s); });
        QObject::connect(&control, &SocketControl::Error, &control, [add] { add(u"E"_s); });
        QObject::connect(&control, &SocketControl::PeerClosed, &control, [add] { add(u"P"_s); });
        QObject::connect(&control, &SocketControl::DeliveryEnded, &control, [add] { add(u"D"_s); });
    }
    QString text() const { return events.join(u' '); }
};

} // namespace

class tst_SocketState : public QObject {
    Q_OBJECT

private slots:
    // Each change of the state number is told once, in order, before the event it belongs to;
    // a Close of a closed control tells nothing.
    void stateChangesAreToldInOrder_data() {
        QTest::addColumn<int>("courseNumber");
        QTest::addColumn<QString>("told");
        QTest::newRow("connect, close") << int(Course::CloseOwn) << u"4 6 7 C 0"_s;
        QTest::newRow("refused") << int(Course::Refused) << u"4 6 9 E 0"_s;
        QTest::newRow("peer closes") << int(Course::PeerCloses) << u"4 6 7 C 8 P 0"_s;
        QTest::newRow("delivers after close") << int(Course::DeliverAfterClose) << u"4 6 7 C 0 D"_s;
    }
    void stateChangesAreToldInOrder() {
        QFETCH(int, courseNumber);
        const auto course = Course(courseNumber);
        QFETCH(QString, told);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const quint16 port = server.serverPort();
        if (course == Course::Refused)
            server.close();
        SocketControl control;
        const Told events(control);
        control.setRemoteHost(u"127.0.0.1"_s);
        control.setRemotePort(port);
        QVERIFY(control.Connect());
        const SocketControl::StateCode settled =
            course == Course::Refused ? SocketControl::Failed : SocketControl::Connected;
        QTRY_COMPARE_WITH_TIMEOUT(control.State(), settled, 20000);
        std::unique_ptr<QTcpSocket> peer;
        if (course != Course::Refused) {
            QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 20000);
            peer.reset(server.nextPendingConnection());
        }
        const QByteArray data(8 << 20, 'd');
        if (course == Course::PeerCloses) {
            peer->close();
            QTRY_COMPARE_WITH_TIMEOUT(control.State(), SocketControl::Closing, 20000);
        } else if (course == Course::DeliverAfterClose) {
            QVERIFY(control.SendData(data));
        }
        control.Close();
        control.Close();
        if (course == Course::DeliverAfterClose) {
            QByteArray received;
            QVERIFY(QTest::qWaitFor(
                [&] {
                    received += peer->readAll();
                    return received.size() >= data.size();
                },
                30000));
            peer->close();
            QTRY_COMPARE_WITH_TIMEOUT(control.Delivering(), 0, 20000);
        }
        QCOMPARE(events.text(), told);
    }
};

QTEST_GUILESS_MAIN(tst_SocketState)
#include "tst_socket_state.moc"
