#include "control/control_connections.h"

#include "control/control_json.h"

#include <QTcpSocket>
#include <QTimer>

ControlConnections::ControlConnections(QObject *parent) : QTcpServer(parent) {}

ControlConnections::~ControlConnections() {
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it)
        it.key()->disconnect(this);
}

void ControlConnections::incomingConnection(qintptr handle) {
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle) || open() >= MaxConnections) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    Client &client = m_clients[socket];
    client.idle = new QTimer(socket);
    client.idle->setSingleShot(true);
    client.idle->setInterval(IdleMs);
    connect(client.idle, &QTimer::timeout, socket, &QTcpSocket::abort);
    client.idle->start();
    // Connected before the HTTP server's own reading, so this sees each piece first.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { arrived(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { m_clients.remove(socket); });
    addPendingConnection(socket);
}

bool ControlConnections::answering(QTcpSocket *socket) {
    const auto found = m_clients.find(socket);
    if (found == m_clients.end() || found->refused)
        return false;
    if (socket->bytesToWrite() > MaxUnread) {
        found->refused = true;
        // Not while the HTTP server is still reading from it.
        QMetaObject::invokeMethod(socket, &QTcpSocket::abort, Qt::QueuedConnection);
        return false;
    }
    found->unanswered = 0;
    found->idle->start();
    return true;
}

void ControlConnections::arrived(QTcpSocket *socket) {
    const auto found = m_clients.find(socket);
    if (found == m_clients.end())
        return;
    Client &client = *found;
    if (!client.refused) {
        client.unanswered += socket->bytesAvailable();
        if (client.unanswered <= MaxUnanswered)
            return;
        client.refused = true;
        const QByteArray body =
            errorBody({413, QStringLiteral("a request is at most %1 bytes").arg(MaxUnanswered)});
        socket->write("HTTP/1.1 413 Payload Too Large\r\nContent-Type: application/json\r\n"
                      "Connection: close\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        socket->disconnectFromHost();
    }
    // Nothing more of this client reaches the HTTP server.
    socket->readAll();
}
