// What a connection sends: its own writer on a plain connection, Qt's socket otherwise, and the
// delivery of what is left once it closes.
#include "net/tcp_connection.h"

#include "net/posix_descriptors.h"
#include "net/stream_writer.h"
#include "net/tls_session.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>
#include <QSslSocket>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace {

// What may wait to go out to one peer; a peer that does not read fails its connection instead of
// making us hold everything sent to it.
constexpr qint64 PendingWriteLimit = 16 << 20;
// How often a closed connection that still delivers looks whether the peer has it all.
constexpr int DeliveryWatchMs = 20;

} // namespace

// Without a descriptor of its own (none could be made) the connection writes through Qt's socket
// as a secure one does.
void TcpConnection::startWriter() {
    m_own = duplicateConnection(m_socket->socketDescriptor());
    if (m_own < 0)
        return;
    m_writer = new StreamWriter(m_own, this);
    m_writer->start();
    connect(m_writer, &StreamWriter::bytesWritten, this, [this](qint64 bytes) {
        m_sent += bytes;
        emit bytesWritten(bytes);
    });
    connect(m_writer, &StreamWriter::failed, this, &TcpConnection::onWriteFailed);
}

// As Qt's socket tells it: a peer that reset or left is a remote close.
void TcpConnection::onWriteFailed(int error) {
    if (error == EPIPE || error == ECONNRESET) {
        emit socketError(QAbstractSocket::RemoteHostClosedError);
        return;
    }
    m_writeFailure = QString::fromLocal8Bit(std::strerror(error));
    emit socketError(QAbstractSocket::NetworkError);
}

void TcpConnection::releaseWriter() {
    if (m_writer) {
        m_writer->stop();
        m_writer->disconnect(this);
    }
    if (m_own >= 0)
        closeDescriptor(std::exchange(m_own, -1));
}

std::optional<WinsockError> TcpConnection::write(const QByteArray &data, bool &whole) {
    if (m_writer) {
        const qint64 before = m_writer->bytesTaken();
        // Copied, not shared: a caller's array from toUtf8() holds up to three times its size.
        if (!m_writer->write(QByteArray(data.constData(), data.size())))
            return writeFailure().value_or(winsockError(10057));
        // Told at once, as Qt's socket does, yet not again from inside a handler of it.
        if (const qint64 taken = m_writer->bytesTaken() - before; taken > 0) {
            m_sent += taken;
            if (!m_emittingWritten) {
                const QScopedValueRollback emitting(m_emittingWritten, true);
                emit bytesWritten(taken);
            }
        }
        if (bytesToWrite() > PendingWriteLimit)
            return winsockError(10055);
        whole = true;
        return std::nullopt;
    }
    ++m_writing;
    m_writeFailed = false;
    // Copied, not shared: Qt would keep a caller's array whole until sent, and one from toUtf8()
    // holds up to three times its size.
    const qint64 written = m_socket->write(data.constData(), data.size());
    // Without an immediate flush a peer that half-closes after its request loses the reply.
    if (written > 0)
        m_socket->flush();
    --m_writing;
    if (m_writeFailed)
        return m_writeError == QAbstractSocket::RemoteHostClosedError
                   ? winsockError(10054)
                   : winsockError(m_writeError, m_socket->errorString());
    if (bytesToWrite() > PendingWriteLimit)
        return winsockError(10055);
    whole = written == data.size();
    return std::nullopt;
}

// A secure socket holds what it encrypted apart from what still waits to be.
qint64 TcpConnection::bytesToWrite() const {
    if (m_writer)
        return m_writer->bytesToWrite();
    if (m_tls)
        return m_socket->bytesToWrite()
               + static_cast<const QSslSocket *>(m_socket)->encryptedBytesToWrite();
    return m_socket->bytesToWrite();
}

// A secure connection also owes its peer the end of the session (close_notify), without which
// a peer reading up to the close cannot tell the end from a cut.
bool TcpConnection::holdsUndelivered() const {
    if (m_writer)
        return !m_writer->hasFailed()
               && (m_writer->bytesToWrite() > 0 || unacknowledgedBytes(m_own) > 0);
    return m_socket->state() == QAbstractSocket::ConnectedState
           && ((m_tls && m_tls->isSecured()) || bytesToWrite() > 0
               || unacknowledgedBytes(m_socket->socketDescriptor()) > 0);
}

std::optional<WinsockError> TcpConnection::writeFailure() const {
    if (!m_writer || !m_writer->hasFailed())
        return std::nullopt;
    const int error = m_writer->error();
    return error == EPIPE || error == ECONNRESET ? winsockError(10054)
                                                 : winsockErrorForErrno(error);
}

bool TcpConnection::canWrite() const {
    if (m_writer)
        return !m_writer->hasFailed() && !m_writer->closingWriting();
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

// This process's buffer goes first, then a half-close, so that the system sends the rest while
// the socket stays open and goes on reading. A socket closed outright, with bytes unread or while
// the peer still sends, is reset by the system, which drops the tail it had not sent yet. The
// connection counts as delivering until the peer has closed its side too and acknowledged every
// byte, or `lingerMs` has passed: a socket closed while the peer still talks is reset, and a
// reset can cost the peer what it had received but not yet read. The bytes count as lost unless
// the peer acknowledged every one of them.
void TcpConnection::deliverThenClose(int lingerMs) {
    m_gather.stop();
    m_records.stop();
    m_socket->disconnect(this);
    if (!m_writer) {
        watchDelivery(lingerMs);
        return;
    }
    m_writer->disconnect(this);
    m_writer->closeWriting();
    QTcpSocket *socket = m_socket;
    auto *watch = new QTimer(socket);
    const auto since = std::make_shared<QElapsedTimer>();
    since->start();
    const auto check = [this, socket, watch, since, lingerMs] {
        if (!watch->isActive())
            return;
        socket->readAll(); // what the peer still says is not shown, yet must not wait unread
        // A reset empties the send queue as an acknowledgement would: it is told apart by the
        // error it leaves.
        const bool lost = m_writer->hasFailed() || pendingSocketError(m_own) != 0;
        const bool acknowledged =
            !lost && m_writer->writeClosed() && unacknowledgedBytes(m_own) == 0;
        const bool peerEnded = socket->state() == QAbstractSocket::UnconnectedState;
        if (!lost && !(acknowledged && peerEnded) && !since->hasExpired(lingerMs))
            return;
        watch->stop();
        releaseWriter();
        emit delivered(!acknowledged);
    };
    connect(watch, &QTimer::timeout, this, check);
    connect(m_writer, &StreamWriter::bytesWritten, this, check);
    connect(m_writer, &StreamWriter::failed, this, check);
    connect(socket, &QIODevice::readyRead, this, check);
    connect(socket, &QAbstractSocket::disconnected, this, check);
    watch->start(DeliveryWatchMs);
}

// A secure connection (or one without a descriptor of its own) is closed by Qt's socket.
void TcpConnection::watchDelivery(int lingerMs) {
    QTcpSocket *socket = m_socket;
    // TLS ends its session after what is buffered, then the connection closes.
    if (m_tls)
        socket->disconnectFromHost();
    auto *watch = new QTimer(socket);
    // A descriptor of our own for the half-closed socket: Qt closes its one when it reads the
    // peer's close, yet the acknowledgement is still to be asked then.
    const auto own = std::make_shared<int>(-1);
    const auto finish = [this, watch, own](bool lost) {
        if (!watch->isActive())
            return;
        watch->stop();
        if (*own >= 0)
            closeDescriptor(std::exchange(*own, -1));
        emit delivered(lost);
    };
    const auto since = std::make_shared<QElapsedTimer>();
    since->start();
    const auto acknowledged = std::make_shared<bool>(false);
    const auto check = [socket, since, own, acknowledged, lingerMs, finish] {
        socket->readAll(); // what the peer still says is not shown, yet must not wait unread
        const QAbstractSocket::SocketState state = socket->state();
        if (*own < 0 && state == QAbstractSocket::ConnectedState && socket->bytesToWrite() == 0) {
            *own = duplicateConnection(socket->socketDescriptor());
            shutdownSending(*own);
        }
        // Every byte and the end of the stream acknowledged.
        if (*own >= 0 && !*acknowledged && unacknowledgedBytes(*own) == 0)
            *acknowledged = true;
        if (state == QAbstractSocket::UnconnectedState)
            finish(*own < 0 ? socket->bytesToWrite() > 0 : !*acknowledged);
        else if (since->hasExpired(lingerMs))
            finish(!*acknowledged);
    };
    connect(watch, &QTimer::timeout, this, check);
    connect(socket, &QIODevice::bytesWritten, this, check);
    connect(socket, &QIODevice::readyRead, this, check);
    connect(socket, &QAbstractSocket::disconnected, this, check);
    connect(socket, &QAbstractSocket::errorOccurred, this, check);
    watch->start(DeliveryWatchMs);
}
