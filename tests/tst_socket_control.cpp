#include "net/socket_array.h"
#include "net/socket_control.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <cerrno>
#include <malloc.h>
#include <memory>
#include <sys/socket.h>

namespace {

// In the error table, instead of a Qt error: errno, or the number itself.
constexpr int UseErrno = -100, UseNumber = -200;

// An array listening on element 0 that takes each request up into element 1 while that is free.
struct Served {
    SocketArray array;
    QList<bool> taken; // what each Accept answered
    Served() {
        QObject::connect(&array, &SocketArray::ConnectionRequest, &array, [this](int, qintptr id) {
            array.Load(1);
            taken.append(array.element(1)->Accept(id));
        });
        array.element(0)->Listen();
    }
    quint16 port() const { return quint16(array.element(0)->LocalPort()); }
    SocketControl *slot() const { return array.element(1); }
    bool connect(QTcpSocket &client, const QHostAddress &to = QHostAddress::LocalHost) {
        client.connectToHost(to, port());
        return QTest::qWaitFor([&] {
            return client.state() == QAbstractSocket::ConnectedState && slot()
                   && slot()->State() == SocketControl::Connected;
        });
    }
};

} // namespace

class tst_SocketControl : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Freed memory gets scribbled over, so a socket deleted under its own signal crashes here
        // instead of going unnoticed (Qt itself is not built with the address sanitizer).
        mallopt(M_PERTURB, 0xa5);
    }

    // Each way to an error number: Qt's error (with its text where Qt lumps causes together),
    // the system's errno, or the number itself; the status line's text from each.
    void errorMapping_data() {
        QTest::addColumn<int>("qtError"); // UseErrno or UseNumber instead of a Qt error
        QTest::addColumn<QString>("qtText");
        QTest::addColumn<int>("errnoValue");
        QTest::addColumn<QString>("text");
        using S = QAbstractSocket;
        const auto qt = [](const char *row, S::SocketError error, const char *qtText,
                           const char *text) {
            QTest::newRow(row) << int(error) << QString::fromLatin1(qtText) << 0 << text;
        };
        qt("refused", S::ConnectionRefusedError, "", "10061 - Connection refused.");
        qt("closed", S::RemoteHostClosedError, "", "10054 - Connection reset by peer.");
        qt("not found", S::HostNotFoundError, "", "11001 - Host not found.");
        qt("access", S::SocketAccessError, "", "10013 - Permission denied.");
        qt("resource", S::SocketResourceError, "", "10055 - No buffer space available.");
        qt("timeout", S::SocketTimeoutError, "", "10060 - Connection timed out.");
        qt("too large", S::DatagramTooLargeError, "", "10040 - Message too long.");
        qt("in use", S::AddressInUseError, "", "10048 - Address already in use.");
        qt("not available", S::SocketAddressNotAvailableError, "",
           "10049 - Cannot assign requested address.");
        qt("unsupported", S::UnsupportedSocketOperationError, "",
           "10047 - Address family not supported by protocol family.");
        qt("unfinished", S::UnfinishedSocketOperationError, "",
           "10036 - Operation now in progress.");
        qt("temporary", S::TemporaryError, "", "10035 - Resource temporarily unavailable.");
        qt("net unreachable", S::NetworkError, "Network unreachable",
           "10051 - Network is unreachable.");
        qt("host unreachable", S::NetworkError, "Host unreachable", "10065 - No route to host.");
        qt("net timed out", S::NetworkError, "Connection timed out",
           "10060 - Connection timed out.");
        qt("network", S::NetworkError, "", "10050 - Network is down.");
        qt("unknown", S::UnknownSocketError, "", "10050 - Network is down.");
        const auto sys = [](const char *row, int value, const char *text) {
            QTest::newRow(row) << UseErrno << QString() << value << text;
        };
        sys("EINTR", EINTR, "10004 - Interrupted function call.");
        sys("EPERM", EPERM, "10013 - Permission denied.");
        sys("EMFILE", EMFILE, "10024 - Too many open files.");
        sys("ECONNABORTED", ECONNABORTED, "10053 - Software caused connection abort.");
        sys("ENOBUFS", ENOBUFS, "10055 - No buffer space available.");
        sys("ENOTCONN", ENOTCONN, "10057 - Socket is not connected.");
        sys("EHOSTUNREACH", EHOSTUNREACH, "10065 - No route to host.");
        sys("no number", ENOENT, "No such file or directory");
        QTest::newRow("number") << UseNumber << QString() << 11004
                                << "11004 - Valid name, no data record of requested type.";
        QTest::newRow("unknown number") << UseNumber << QString() << 12345 << "12345 - ";
    }
    void errorMapping() {
        QFETCH(int, qtError);
        QFETCH(QString, qtText);
        QFETCH(int, errnoValue);
        QFETCH(QString, text);
        const WinsockError error =
            qtError == UseErrno    ? winsockErrorForErrno(errnoValue)
            : qtError == UseNumber ? winsockError(errnoValue)
                                   : winsockError(QAbstractSocket::SocketError(qtError), qtText);
        QCOMPARE(failureText(error), text);
    }

    void callsThatDoNotFitAreRefused() {
        SocketControl control;
        QVERIFY(!control.setLocalPort(65536) && !control.setRemotePort(-1)
                && !control.setProtocol(SocketControl::ProtocolKind(2)));
        for (const char *host : {"", "   ", "127.0.0.1"}) {
            control.setRemoteHost(host);
            control.setRemotePort(host[0] == '1' ? 0 : 7000);
            QVERIFY(!control.Connect());
        }
        QVERIFY(!control.Bind());
        QVERIFY(control.Listen());
        QVERIFY(!control.setProtocol(SocketControl::UdpProtocol) && !control.Listen());
        control.Close();
        QCOMPARE(std::pair(control.State(), control.LocalPort()),
                 std::pair(SocketControl::Closed, 0));
    }

    void acceptOneRefuseSecondThenPeerClose_data() {
        QTest::addColumn<QHostAddress>("peer");
        QTest::addColumn<QString>("shown");
        QTest::newRow("IPv4 peer of the dual-stack listener")
            << QHostAddress(QHostAddress::LocalHost) << "127.0.0.1";
        QTest::newRow("IPv6 peer") << QHostAddress(QHostAddress::LocalHostIPv6) << "::1";
    }

    // A busy slot refuses; all the first peer sends just before closing is read, then 8 holds,
    // also through a send (the peer may have closed only its side).
    void acceptOneRefuseSecondThenPeerClose() {
        QFETCH(QHostAddress, peer);
        QFETCH(QString, shown);
        QTcpServer probe;
        if (peer.protocol() == QAbstractSocket::IPv6Protocol && !probe.listen(peer, 0))
            QSKIP("no IPv6 loopback here");

        Served served;
        QByteArray received;
        connect(&served.array, &SocketArray::DataArrival, this, [&](int index, qint64 bytesTotal) {
            const QByteArray chunk = served.array.element(index)->GetData();
            QCOMPARE(chunk.size(), bytesTotal);
            received += chunk;
        });
        QTcpSocket first, second;
        QVERIFY(served.connect(first, peer));
        QCOMPARE(served.slot()->RemoteHostIP(), shown);
        QSignalSpy secondEnded(&second, &QAbstractSocket::disconnected);
        second.connectToHost(peer, served.port());
        QTRY_COMPARE(secondEnded.count(), 1);
        QCOMPARE(served.taken, (QList<bool>{true, false}));
        QCOMPARE(served.array.element(0)->State(), SocketControl::Listening);

        const QByteArray data =
            QByteArray("a\0b\r\n\xff\xfe\xc3\x28\xed\xa0\x80", 12).repeated(25000);
        first.write(data);
        first.disconnectFromHost();
        QTRY_COMPARE(served.slot()->State(), SocketControl::Closing);
        QCOMPARE(received, data);
        served.slot()->SendData("late");
        QTest::qWait(50);
        QCOMPARE(served.slot()->State(), SocketControl::Closing);
    }

    // Refused: the states pass 4, 5, 6 in order to 9, which holds when Error comes.
    void connectRefused() {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        SocketArray array;
        array.setObjectName("sendSock");
        QVERIFY(array.Load(2));
        SocketControl *control = array.element(2);
        control->setRemoteHost("127.0.0.1");
        control->setRemotePort(server.serverPort());
        server.close();
        QList<QVariantList> errors; // with the state seen inside the event
        connect(&array, &SocketArray::Error, this,
                [&](int index, int number, const QString &text, const QString &source) {
                    errors.append({index, number, text, source, qToUnderlying(control->State())});
                });

        QVERIFY(control->Connect());
        QList<SocketControl::StateCode> states{control->State()};
        QVERIFY(QTest::qWaitFor([&] {
            if (states.constLast() != control->State())
                states.append(control->State());
            return control->State() == SocketControl::Failed;
        }));
        // A literal address may pass 4, 5 and 6 inside the call already.
        QVERIFY(states.constFirst() >= SocketControl::ResolvingHost
                && std::is_sorted(states.begin(), states.end()));
        QTRY_COMPARE(errors,
                     (QList<QVariantList>{{2, 10061, "Connection refused.", "sendSock", 9}}));
        QVERIFY(!control->SendData("x"));
    }

    // What waits for a peer that does not read is bounded: the connection fails instead.
    void peerThatDoesNotReadFailsTheConnection() {
        Served served;
        QTcpSocket client;
        client.setReadBufferSize(1);
        QVERIFY(served.connect(client));
        QList<QVariantList> errors;
        connect(&served.array, &SocketArray::Error, this,
                [&](int index, int number, const QString &text) {
                    errors.append({index, number, text});
                });
        const QByteArray block(1 << 20, 'x');
        for (int sends = 0; sends < 64 && served.slot()->SendData(block); ++sends)
            QCoreApplication::processEvents();
        QCOMPARE(served.slot()->LastSendError(), "10055 - No buffer space available.");
        QTRY_COMPARE(errors, (QList<QVariantList>{{1, 10055, "No buffer space available."}}));
        QCOMPARE(served.slot()->State(), SocketControl::Failed);
    }

    // A flood's chunks are gathered into bigger ones, yet the small one after it still arrives
    // by itself, and every byte comes in order.
    void floodTailArrives() {
        Served served;
        QTcpSocket client;
        QVERIFY(served.connect(client));
        QByteArray received;
        connect(&served.array, &SocketArray::DataArrival, this,
                [&] { received += served.slot()->GetData(); });
        QByteArray sent;
        for (int block = 0; block < 16; ++block)
            sent += QByteArray(256 << 10, char('a' + block));
        client.write(sent);
        QTRY_COMPARE(received.size(), sent.size());
        client.write("tail");
        QTRY_COMPARE(received, sent + "tail");
    }

    void datagramsBothWays_data() {
        QTest::addColumn<QString>("host");
        QTest::newRow("to an address") << "127.0.0.1";
        QTest::newRow("to a name, looked up first") << "localhost";
    }

    // Datagrams (an empty and a largest one among them) arrive one event each and in order; the
    // listener answers whoever sent last, then closes and binds again inside its own event.
    void datagramsBothWays() {
        QFETCH(QString, host);

        SocketControl listener, client;
        QList<QByteArray> received;
        for (SocketControl *control : {&listener, &client}) {
            QVERIFY(control->setProtocol(SocketControl::UdpProtocol) && control->Bind());
            connect(control, &SocketControl::DataArrival, this, [&, control](qint64 bytesTotal) {
                received.append(control->GetData());
                QCOMPARE(received.constLast().size(), bytesTotal);
            });
        }
        client.setRemoteHost(host);
        client.setRemotePort(listener.LocalPort());
        QCOMPARE(client.LookUpRemoteHost(), host == "localhost");
        QTRY_COMPARE(client.State(), SocketControl::Open);
        if (host == "127.0.0.1") {
            QVERIFY(!client.SendData(QByteArray(65508, 'x')));
            QCOMPARE(client.LastSendError(), "10040 - Message too long.");
        }
        const QByteArray largest = QByteArray("\xff\0 datagram", 11).repeated(5955) + "xy";
        const QList<QByteArray> sent{"one", "", largest, "three"};
        for (const QByteArray &data : sent)
            QVERIFY(client.SendData(data));
        QTRY_COMPARE(received, sent);
        QCOMPARE(listener.RemoteHostIP(), QString("127.0.0.1"));
        QVERIFY(listener.SendData("answer"));
        QTRY_COMPARE(received, sent + QList<QByteArray>{"answer"});

        listener.setLocalPort(listener.LocalPort());
        connect(&listener, &SocketControl::DataArrival, this, [&] {
            listener.Close();
            QVERIFY(listener.GetData().isEmpty() && listener.Bind());
        });
        QVERIFY(client.SendData("a") && client.SendData("dropped with the old socket"));
        QTRY_COMPARE(received.size(), sent.size() + 2);
        QTest::qWait(50);
        QVERIFY(client.SendData("c"));
        QTRY_COMPARE(received, (sent + QList<QByteArray>{"answer", "a", "c"}));
        QCOMPARE(std::pair(listener.State(), client.State()),
                 std::pair(SocketControl::Open, SocketControl::Open));
    }

    void peerThatClosedItsSide_data() {
        QTest::addColumn<bool>("halfClose");
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("half-closed, small") << true << qsizetype(5);
        // Most of it waits in this process when the close is read.
        QTest::newRow("half-closed, 8 MiB") << true << qsizetype(8 << 20);
        QTest::newRow("closed") << false << qsizetype(5);
    }
    // A peer that half-closed still reads: what is sent after its close reaches it whole. One that
    // closed for good ends only the sends to it, not the control.
    void peerThatClosedItsSide() {
        QFETCH(bool, halfClose);
        QFETCH(qsizetype, size);
        Served served;
        QTcpSocket client;
        QVERIFY(served.connect(client));
        SocketControl *slot = served.slot();
        QSignalSpy errors(slot, &SocketControl::Error);
        if (halfClose)
            ::shutdown(int(client.socketDescriptor()), SHUT_WR);
        else
            client.abort();
        QTRY_COMPARE(slot->State(), SocketControl::Closing);
        if (!halfClose) {
            // The first send draws the peer's reset, a later one fails on it.
            QVERIFY(slot->SendData("early"));
            QTRY_VERIFY(!slot->SendData("late"));
            QVERIFY(slot->LastSendError().startsWith(u"10054 - "));
            QTest::qWait(20);
            QCOMPARE(slot->State(), SocketControl::Closing);
            QCOMPARE(errors.size(), 0);
            return;
        }
        const QByteArray data(size, 'd');
        QVERIFY(slot->CanSend() && slot->SendData(data));
        const std::shared_ptr<void> hold = slot->KeepForSending();
        QVERIFY(slot->SendingHeld());
        QByteArray received;
        QVERIFY(QTest::qWaitFor([&] {
            received += client.readAll();
            return received.size() >= size;
        }));
        QCOMPARE(received, data);
        served.array.Unload(1);
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(errors.size(), 0);
    }

    void closeWithBytesOnTheirWay_data() {
        QTest::addColumn<bool>("peerReads");
        QTest::addColumn<bool>("lost");
        QTest::newRow("peer reads all, then closes") << true << false;
        QTest::newRow("peer reads nothing, then resets") << false << true;
    }
    // A connection closed while most of what was sent still waits goes on delivering it, and
    // counts it lost only when the peer did not take every byte.
    void closeWithBytesOnTheirWay() {
        QFETCH(bool, peerReads);
        QFETCH(bool, lost);
        Served served;
        QTcpSocket client;
        if (!peerReads)
            client.setReadBufferSize(1);
        QVERIFY(served.connect(client));
        SocketControl *slot = served.slot();
        const QByteArray data(8 << 20, 'r');
        QVERIFY(slot->SendData(data));
        slot->Close();
        QCOMPARE(slot->Delivering(), 1);
        if (peerReads) {
            QByteArray received;
            QVERIFY(QTest::qWaitFor(
                [&] {
                    received += client.readAll();
                    return received.size() >= data.size();
                },
                30000));
            QCOMPARE(received, data);
            client.close();
        } else {
            QTest::qWait(100);
            client.abort();
        }
        QTRY_COMPARE_WITH_TIMEOUT(slot->Delivering(), 0, 20000);
        QCOMPARE(slot->LostOnClose(), lost);
    }

    void unloadInsideOwnDataArrival_data() {
        QTest::addColumn<bool>("nested");
        QTest::addColumn<qsizetype>("replySize");
        QTest::addColumn<bool>("halfClose");
        // The peer half-closes after its request; a reply not flushed at once would go when its
        // close is read.
        QTest::newRow("from the handler") << false << qsizetype(5) << true;
        // As a modal box or a wait cycle does, while a timer unloads the element.
        QTest::newRow("from a nested event loop") << true << qsizetype(5) << true;
        // Most of the reply still waits to go out when the element is unloaded.
        QTest::newRow("8 MiB waiting, from a nested event loop")
            << true << qsizetype(8 << 20) << false;
    }

    // The slot is unloaded inside its own event, as a listener reset after a reply does.
    void unloadInsideOwnDataArrival() {
        QFETCH(bool, nested);
        QFETCH(qsizetype, replySize);
        QFETCH(bool, halfClose);
        const QByteArray reply = QByteArray("reply").repeated(replySize / 5);

        Served served;
        QTcpSocket client;
        int arrivals = 0;
        bool unloaded = false;
        connect(&served.array, &SocketArray::DataArrival, this, [&](int index) {
            ++arrivals;
            const QPointer<SocketControl> element = served.array.element(index);
            element->GetData();
            QVERIFY(element->SendData(reply));
            if (nested) {
                // Unloaded once the peer's close has been seen, or at once when it has none.
                const auto unloadWhenDue = [&] {
                    if (!unloaded && (!halfClose || element->State() == SocketControl::Closing))
                        unloaded = served.array.Unload(1);
                };
                QTimer due;
                connect(&due, &QTimer::timeout, this, unloadWhenDue);
                due.start(0);
                QVERIFY(QTest::qWaitFor([&] {
                    return unloaded && client.state() == QAbstractSocket::UnconnectedState;
                }));
            } else {
                unloaded = served.array.Unload(index);
            }
            QVERIFY(unloaded && !served.array.element(index));
            if (element)
                QVERIFY(element->GetData().isEmpty());
        });
        QVERIFY(served.connect(client));
        const QPointer<SocketControl> slot = served.slot();
        client.write("request");
        QVERIFY(client.waitForBytesWritten(5000));
        if (halfClose)
            ::shutdown(int(client.socketDescriptor()), SHUT_WR);
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(client.readAll().size(), reply.size());
        QCOMPARE(arrivals, 1);
        QVERIFY(served.array.Count() == 1 && !served.array.Unload(0));
        QTRY_VERIFY(!slot);
    }
};

QTEST_GUILESS_MAIN(tst_SocketControl)
#include "tst_socket_control.moc"
