#pragma once

#include <QHostAddress>
#include <QObject>

#include "net/socket_errors.h"

class QTcpServer;

// Listens for TCP connections and announces each as a request: its descriptor, valid until the
// announcement has returned, for a connection to take up (TcpConnection::fromRequest) or not.
class TcpServer final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TcpServer)

public:
    explicit TcpServer(QObject *parent = nullptr);
    ~TcpServer() override;

    // On one address, or null for all addresses, IPv4 and IPv6; false with failure() saying why.
    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    WinsockError failure() const { return m_failure; }
    void close();

signals:
    void connectionRequest(qintptr requestID);
    // Taking a connection from the system failed.
    void failed(const WinsockError &error);

private:
    QTcpServer *m_server;
    WinsockError m_failure;
};
