#include "net/tcp_server.h"

#include "net/posix_descriptors.h"

#include <QTcpServer>

namespace {

constexpr int ListenBacklog = 1024;

} // namespace

TcpServer::TcpServer(QObject *parent)
    : QObject(parent),
      m_server(newRequestServer([this](qintptr id) { emit connectionRequest(id); }, this)) {
    m_server->setListenBacklogSize(ListenBacklog);
}

TcpServer::~TcpServer() = default;

bool TcpServer::listen(const QHostAddress &address, quint16 port) {
    if (!m_server->listen(address.isNull() ? QHostAddress(QHostAddress::Any) : address, port)) {
        qCWarning(lcNet) << "listen on port" << port << "failed:" << m_server->errorString();
        m_failure = winsockError(m_server->serverError(), m_server->errorString());
        return false;
    }
    connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        // Out of descriptors is by far the likeliest cause of a failed accept.
        emit failed(error == QAbstractSocket::SocketResourceError
                        ? winsockError(10024)
                        : winsockError(error, m_server->errorString()));
    });
    return true;
}

quint16 TcpServer::port() const {
    return m_server->serverPort();
}

void TcpServer::close() {
    m_server->disconnect(this);
    m_server->close();
}
