#include "net/tcp_connection.h"

#include "net/posix_descriptors.h"
#include "net/tls_session.h"

#include <QSslSocket>

#include <utility>

namespace {

constexpr qint64 ReadChunkLimit = 1 << 20;
// During a flood every announced chunk costs the receive path (display, log entry, answers) a
// fixed amount whatever its size. While big chunks keep coming, an arrival below GatheredEnough
// waits up to GatherMs for more; a small chunk, as any exchange of messages brings, goes at once.
constexpr qint64 FloodChunk = 64 << 10;
constexpr qint64 GatheredEnough = 512 << 10;
constexpr int GatherMs = 1;

} // namespace

TcpConnection::TcpConnection(QTcpSocket *socket, QObject *parent,
                             std::shared_ptr<const TlsContext> tls)
    : QObject(parent), m_socket(socket) {
    socket->setParent(this);
    if (tls)
        connectSecurity(std::move(tls));
    connectReading();
    connectConnecting();
    connectErrorsAndWrites();
    m_gather.setSingleShot(true);
    m_gather.setTimerType(Qt::PreciseTimer);
    connect(&m_gather, &QTimer::timeout, this, &TcpConnection::deliverGathered);
}

void TcpConnection::connectSecurity(std::shared_ptr<const TlsContext> tls) {
    m_tls = new TlsSession(static_cast<QSslSocket *>(m_socket), std::move(tls), this);
    connect(m_tls, &TlsSession::secured, this, [this] {
        emit secured();
        // Data that came with the handshake's last flight is read now.
        if (m_socket->bytesAvailable() > 0)
            onReadyRead();
    });
    connect(m_tls, &TlsSession::failed, this, &TcpConnection::secureFailed);
}

void TcpConnection::connectReading() {
    if (m_tls) {
        m_records.setSingleShot(true);
        connect(&m_records, &QTimer::timeout, this, &TcpConnection::onReadyRead);
        connect(m_socket, &QIODevice::readyRead, this, [this] {
            if (!m_records.isActive())
                m_records.start(0);
        });
    } else {
        connect(m_socket, &QIODevice::readyRead, this, &TcpConnection::onReadyRead);
    }
}

void TcpConnection::connectConnecting() {
    connect(m_socket, &QAbstractSocket::stateChanged, this,
            [this](QAbstractSocket::SocketState state) {
                if (state == QAbstractSocket::ConnectingState)
                    emit connecting();
            });
    connect(m_socket, &QAbstractSocket::hostFound, this, &TcpConnection::hostFound);
    // A secure connection is there for its user once the handshake is done.
    if (m_tls) {
        connect(m_tls, &TlsSession::secured, this, &TcpConnection::connected);
    } else {
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            startWriter();
        else
            connect(m_socket, &QAbstractSocket::connected, this, &TcpConnection::startWriter);
        connect(m_socket, &QAbstractSocket::connected, this, &TcpConnection::connected);
    }
}

void TcpConnection::connectErrorsAndWrites() {
    connect(m_socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                if (m_tls && m_tls->takesError(error))
                    return;
                if (m_writing == 0) {
                    emit socketError(error);
                    return;
                }
                m_writeFailed = true;
                m_writeError = error;
            });
    connect(m_socket, &QAbstractSocket::disconnected, this, [this] {
        if (m_writing == 0)
            emit peerClosed();
    });
    connect(m_socket, &QIODevice::bytesWritten, this, [this](qint64 bytes) {
        m_sent += bytes;
        emit bytesWritten(bytes);
    });
}

TcpConnection::~TcpConnection() {
    releaseWriter();
}

TcpConnection *TcpConnection::fromRequest(qintptr requestID, QObject *parent,
                                          std::shared_ptr<const TlsContext> tls) {
    const int descriptor = duplicateConnection(requestID);
    if (descriptor < 0)
        return nullptr;
    QTcpSocket *socket = tls ? new QSslSocket : new QTcpSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        qCWarning(lcNet) << "taking up connection request" << requestID
                         << "failed:" << socket->errorString();
        closeDescriptor(descriptor);
        delete socket;
        return nullptr;
    }
    enableKeepAlive(socket);
    // Bounded chunks: a flood reaches the handler piece by piece, and the rest waits in the
    // kernel (which slows the peer down) instead of piling up in this process.
    socket->setReadBufferSize(ReadChunkLimit);
    auto *connection = new TcpConnection(socket, parent, std::move(tls));
    if (connection->m_tls)
        connection->m_tls->startServer();
    return connection;
}

TcpConnection *TcpConnection::outgoing(QObject *parent, std::shared_ptr<const TlsContext> tls) {
    QTcpSocket *socket = tls ? new QSslSocket : new QTcpSocket;
    return new TcpConnection(socket, parent, std::move(tls));
}

void TcpConnection::connectToHost(const QString &host, quint16 port) {
    if (m_tls)
        m_tls->connectToHost(host, port);
    else
        m_socket->connectToHost(host, port);
}

QString TcpConnection::securitySummary() const {
    return m_tls ? m_tls->summary() : QString();
}

void TcpConnection::setHandshakeLimit(int ms) {
    if (m_tls)
        m_tls->setLimit(ms);
}

bool TcpConnection::handshaking() const {
    return m_tls && !m_tls->isSecured() && !m_tls->hasFailed()
           && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool TcpConnection::handshakeTimedOut() const {
    return m_tls && m_tls->timedOut();
}

QHostAddress TcpConnection::peerAddress() const {
    return m_socket->peerAddress();
}

quint16 TcpConnection::peerPort() const {
    return m_socket->peerPort();
}

quint16 TcpConnection::localPort() const {
    return m_socket->localPort();
}

QString TcpConnection::errorString() const {
    return m_writeFailure.isEmpty() ? m_socket->errorString() : m_writeFailure;
}

void TcpConnection::setPaused(bool paused) {
    m_paused = paused;
}

void TcpConnection::announceWaiting() {
    onReadyRead();
}

void TcpConnection::onReadyRead() {
    if (m_paused)
        return;
    const qint64 waiting = m_socket->bytesAvailable();
    if (waiting > 0 && !gatherMore(waiting))
        emit dataArrival(waiting);
}

// True while the arrival waits for more; the announcement then comes from the gather timer.
bool TcpConnection::gatherMore(qint64 waiting) {
    if (waiting < GatheredEnough && m_lastChunk >= FloodChunk) {
        if (!m_gather.isActive())
            m_gather.start(GatherMs);
        return true;
    }
    m_gather.stop();
    m_lastChunk = waiting;
    return false;
}

void TcpConnection::deliverGathered() {
    if (m_paused)
        return;
    m_lastChunk = m_socket->bytesAvailable();
    if (m_lastChunk > 0)
        emit dataArrival(m_lastChunk);
}

void TcpConnection::stopGathering() {
    m_gather.stop();
    m_records.stop();
}

qint64 TcpConnection::bytesAvailable() const {
    return m_socket->bytesAvailable();
}

QByteArray TcpConnection::takeAll() {
    // Asked for exactly what it holds, Qt hands its read buffer over instead of copying it.
    return m_socket->read(m_socket->bytesAvailable());
}

void TcpConnection::abort() {
    m_gather.stop();
    m_records.stop();
    m_socket->disconnect(this);
    m_socket->abort();
    releaseWriter();
}
