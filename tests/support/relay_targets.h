#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

// A UDP target that keeps what came and when, and answers each datagram with its bytes.
struct DatagramTarget {
    QList<QByteArray> got;
    QList<qint64> at; // ms on `clock`
    QElapsedTimer clock;
    QUdpSocket socket; // last: it goes first
    DatagramTarget() {
        clock.start();
        QVERIFY(socket.bind(QHostAddress::LocalHost, 0));
        QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = socket.receiveDatagram();
                got.append(datagram.data());
                at.append(clock.elapsed());
                socket.writeDatagram(datagram.data(), datagram.senderAddress(),
                                     quint16(datagram.senderPort()));
            }
        });
    }
};

// A TCP target whose one peer's bytes are gathered; `whole` is what it had when the peer ended.
struct StreamTarget {
    QTcpSocket *peer = nullptr;
    QByteArray got;
    QByteArray whole;
    bool ended = false;
    QTcpServer server; // last: its peer goes first
    StreamTarget() {
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            peer = server.nextPendingConnection();
            QObject::connect(peer, &QTcpSocket::readyRead, peer,
                             [this] { got += peer->readAll(); });
            QObject::connect(peer, &QTcpSocket::disconnected, peer, [this] {
                whole = got;
                ended = true;
            });
        });
    }
};
