#include "net/socket_array.h"
#include "net/socket_control.h"

#include <QNetworkDatagram>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <malloc.h>

class TestSocketArray : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void loadAndUnload_data();
    void loadAndUnload();
    void elementsCarryTheArrayName();
    void eventsCarryTheIndex();
    void unloadInsideOwnDataArrival();
    void stopAndRestartInsideOwnDataArrival();
    void unloadFromNestedEventLoop();
};

void TestSocketArray::initTestCase()
{
    // Freed memory gets scribbled over, so a socket deleted under its own signal crashes here
    // instead of going unnoticed (Qt itself is not built with the address sanitizer).
    mallopt(M_PERTURB, 0xa5);
}

void TestSocketArray::loadAndUnload_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("count");

    QTest::newRow("load a new element") << "load" << 1 << true << 3;
    QTest::newRow("load a loaded element") << "load" << 2 << false << 2;
    QTest::newRow("load element 0") << "load" << 0 << false << 2;
    QTest::newRow("load a negative index") << "load" << -1 << false << 2;
    QTest::newRow("unload a loaded element") << "unload" << 2 << true << 1;
    QTest::newRow("unload element 0") << "unload" << 0 << false << 2;
    QTest::newRow("unload a missing element") << "unload" << 1 << false << 2;
}

void TestSocketArray::loadAndUnload() {
    QFETCH(QString, operation);
    QFETCH(int, index);
    QFETCH(bool, succeeds);
    QFETCH(int, count);

    SocketArray array;
    QCOMPARE(array.Count(), 1);
    QVERIFY(array.element(0));
    QVERIFY(array.Load(2));

    const bool done = operation == "load" ? array.Load(index) : array.Unload(index);
    QCOMPARE(done, succeeds);
    QCOMPARE(array.Count(), count);
    QVERIFY(array.element(0));
    if (operation == "load" && succeeds)
        QCOMPARE(array.element(index)->State(), int(SocketControl::Closed));
    if (operation == "unload" && succeeds)
        QVERIFY(!array.element(index));
}

void TestSocketArray::elementsCarryTheArrayName() {
    SocketArray array;
    array.setObjectName("listenSock");
    QVERIFY(array.Load(1));
    QCOMPARE(array.element(0)->objectName(), QString("listenSock"));
    QCOMPARE(array.element(1)->objectName(), QString("listenSock"));
}

void TestSocketArray::eventsCarryTheIndex() {
    SocketArray array;
    array.setObjectName("listenSock");
    QSignalSpy requests(&array, &SocketArray::ConnectionRequest);
    QSignalSpy arrivals(&array, &SocketArray::DataArrival);
    connect(&array, &SocketArray::ConnectionRequest, this, [&](int, qintptr id) {
        array.Load(1);
        QVERIFY(array.element(1)->Accept(id));
    });
    QVERIFY(array.element(0)->Listen());

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(array.element(0)->LocalPort()));
    QTRY_COMPARE(requests.count(), 1);
    QCOMPARE(requests.at(0).at(0).toInt(), 0);
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
    client.write("x");
    QTRY_COMPARE(arrivals.count(), 1);
    QCOMPARE(arrivals.at(0).at(0).toInt(), 1);
    QCOMPARE(arrivals.at(0).at(1).toLongLong(), 1);

    // An error on the listener element: a closed port refuses the connect.
    SocketControl *listener = array.element(0);
    listener->Close();
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    QSignalSpy errors(&array, &SocketArray::Error);
    listener->setRemoteHost("127.0.0.1");
    listener->setRemotePort(closedPort);
    QVERIFY(listener->Connect());
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), 0);
    QCOMPARE(errors.at(0).at(1).toInt(), 10061);
    QCOMPARE(errors.at(0).at(3).toString(), QString("listenSock"));
}

// The slot is unloaded from inside its own event, as a listener reset after a reply does.
void TestSocketArray::unloadInsideOwnDataArrival() {
    SocketArray array;
    connect(&array, &SocketArray::ConnectionRequest, this, [&](int, qintptr id) {
        array.Load(1);
        array.element(1)->Accept(id);
    });
    int arrivals = 0;
    connect(&array, &SocketArray::DataArrival, this, [&](int index) {
        ++arrivals;
        SocketControl *element = array.element(index);
        element->GetData();
        QVERIFY(element->SendData("reply"));
        QVERIFY(array.Unload(index));
        QVERIFY(!array.element(index));
    });
    QVERIFY(array.element(0)->Listen());

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(array.element(0)->LocalPort()));
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
    const QPointer<SocketControl> slot = array.element(1);
    client.write("request");
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(client.readAll(), QByteArray("reply"));
    QCOMPARE(arrivals, 1);
    QCOMPARE(array.Count(), 1);
    QTRY_VERIFY(!slot);
}

// A UDP listener stopped and opened again from inside its own event, with datagrams queued.
void TestSocketArray::stopAndRestartInsideOwnDataArrival() {
    SocketArray array;
    SocketControl *listener = array.element(0);
    listener->setProtocol(SocketControl::UdpProtocol);
    QVERIFY(listener->Bind());
    const quint16 port = quint16(listener->LocalPort());
    listener->setLocalPort(port);
    QList<QByteArray> received;
    connect(&array, &SocketArray::DataArrival, this, [&](int index) {
        received.append(array.element(index)->GetData());
        array.element(0)->SendData("ack");
        array.element(0)->Close();
        QVERIFY(array.element(0)->Bind());
    });

    QUdpSocket peer;
    QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
    peer.writeDatagram("a", QHostAddress::LocalHost, port);
    peer.writeDatagram("b", QHostAddress::LocalHost, port);
    QTRY_VERIFY(peer.hasPendingDatagrams());
    QCOMPARE(peer.receiveDatagram().data(), QByteArray("ack"));
    QCOMPARE(received.value(0), QByteArray("a"));
    peer.writeDatagram("c", QHostAddress::LocalHost, port);
    QTRY_COMPARE(received.size(), 2);
    QCOMPARE(received.at(1), QByteArray("c"));
}

// A handler that waits with processEvents (as a modal box or a wait cycle does) while a timer
// unloads the very element whose event it is handling.
void TestSocketArray::unloadFromNestedEventLoop()
{
    SocketArray array;
    connect(&array, &SocketArray::ConnectionRequest, this, [&](int, qintptr id) {
        array.Load(1);
        array.element(1)->Accept(id);
    });
    bool unloaded = false;
    connect(&array, &SocketArray::DataArrival, this, [&](int index) {
        const QPointer<SocketControl> element = array.element(index);
        QTimer::singleShot(0, this, [&] { unloaded = array.Unload(1); });
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        QVERIFY(unloaded);
        if (element)
            QVERIFY(element->GetData().isEmpty());
    });
    QVERIFY(array.element(0)->Listen());

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(array.element(0)->LocalPort()));
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
    client.write("data");
    QTRY_VERIFY(unloaded);
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(array.Count(), 1);
}

QTEST_GUILESS_MAIN(TestSocketArray)
#include "tst_socket_array.moc"
