#include "net/relay_stream.h"

#include "net/posix_descriptors.h"
#include "net/stream_writer.h"
#include "net/tls_context.h"
#include "net/tls_session.h"

#include <QSocketNotifier>
#include <QSslSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// One read's worth: big enough that a flood costs few reads, small enough to keep latency low.
constexpr qint64 ReadSize = 256 << 10;
// How long a secured side closed in order may take to send what it still holds.
constexpr int ClosingMs = 10000;

} // namespace

RelayStream::RelayStream(int descriptor, bool connected, QObject *parent)
    : QObject(parent), m_descriptor(descriptor), m_connected(connected) {
    if (descriptor < 0)
        return;
    m_writer = new StreamWriter(descriptor, this);
    connect(m_writer, &StreamWriter::bytesWritten, this, &RelayStream::bytesWritten);
    connect(m_writer, &StreamWriter::failed, this, [this](int error) { fail(error); });
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_readNotifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    m_readNotifier->setEnabled(connected);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &RelayStream::onReadable);
    if (connected) {
        learnPeer();
        m_writer->start();
        return;
    }
    m_connectWatch = new QSocketNotifier(descriptor, QSocketNotifier::Write, this);
    connect(m_connectWatch, &QSocketNotifier::activated, this, &RelayStream::onConnectDone);
}

RelayStream::~RelayStream() {
    close();
}

RelayStream *RelayStream::fromRequest(qintptr requestID, QObject *parent,
                                      std::shared_ptr<const TlsContext> tls) {
    const int descriptor = duplicateConnection(requestID);
    if (descriptor < 0)
        return nullptr;
    const int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    if (!tls)
        return new RelayStream(descriptor, true, parent);
    auto *stream = new RelayStream(-1, true, parent);
    auto *socket = new QSslSocket(stream);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(descriptor);
        delete stream;
        return nullptr;
    }
    stream->secure(socket, std::move(tls));
    stream->learnPeer();
    stream->m_session->startServer();
    return stream;
}

RelayStream *RelayStream::connectTo(const QHostAddress &address, quint16 port, QObject *parent,
                                    std::shared_ptr<const TlsContext> tls, const QString &host) {
    if (tls) {
        auto *stream = new RelayStream(-1, false, parent);
        auto *socket = new QSslSocket(stream);
        stream->secure(socket, std::move(tls));
        const QString name = address.toString();
        stream->m_session->connectToHost(name, port, host);
        return stream;
    }
    sockaddr_storage target{};
    socklen_t length = 0;
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4) {
        auto &in = reinterpret_cast<sockaddr_in &>(target);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(ipv4);
        length = sizeof in;
    } else {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(target);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(in6.sin6_addr.s6_addr, bytes.c, sizeof bytes.c);
        in6.sin6_scope_id = QHostAddress(address).scopeId().toUInt();
        length = sizeof in6;
    }
    const int descriptor =
        ::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    auto *stream = new RelayStream(descriptor, false, parent);
    if (descriptor < 0) {
        stream->fail(errno);
        return stream;
    }
    const int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    if (::connect(descriptor, reinterpret_cast<sockaddr *>(&target), length) != 0
        && errno != EINPROGRESS)
        stream->fail(errno);
    return stream;
}

void RelayStream::learnPeer() {
    const int descriptor = m_tls ? int(m_tls->socketDescriptor()) : m_descriptor;
    std::tie(m_peerAddress, m_peerPort) = connectionPeer(descriptor);
    m_localPort = localPortOf(descriptor);
}

// The socket reads no more than one read's worth ahead of the relay, so a paused side holds the
// peer back through TCP as a plain one does.
void RelayStream::secure(QSslSocket *socket, std::shared_ptr<const TlsContext> tls) {
    m_tls = socket;
    socket->setReadBufferSize(ReadSize);
    m_session = new TlsSession(socket, std::move(tls), this);
    connect(m_session, &TlsSession::secured, this, [this] {
        emit secured(m_session->summary());
        if (!m_connected) {
            m_connected = true;
            learnPeer();
            emit connected();
        }
        readSecured();
    });
    connect(m_session, &TlsSession::failed, this, [this](const QString &why) {
        if (!m_failed) {
            m_failed = true;
            emit tlsFailed(why);
        }
    });
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                if (m_session->takesError(error) || error == QAbstractSocket::RemoteHostClosedError)
                    return; // told by the session, or the end `disconnected` brings
                fail(winsockError(error, m_tls->errorString()));
            });
    connect(socket, &QIODevice::readyRead, this, &RelayStream::readSecured);
    connect(socket, &QAbstractSocket::disconnected, this, &RelayStream::readSecured);
    connect(socket, &QIODevice::bytesWritten, this, [this](qint64 bytes) {
        if (m_closeWriting && !m_writeClosed && m_tls->bytesToWrite() == 0) {
            m_writeClosed = true;
            m_tls->disconnectFromHost();
        }
        emit bytesWritten(bytes);
    });
}

// What the socket holds while reading is on; its end once it is empty. TLS has no half-close:
// a peer that ended takes nothing more either.
void RelayStream::readSecured() {
    while (m_reading && m_connected && !m_failed && m_tls && m_tls->bytesAvailable() > 0)
        emit received(m_tls->read(ReadSize));
    if (m_failed || m_readEnded || !m_tls || !m_session->isSecured()
        || m_tls->state() == QAbstractSocket::ConnectedState || m_tls->bytesAvailable() > 0)
        return;
    m_readEnded = true;
    m_writeClosed = true;
    emit readEnded();
}

bool RelayStream::handshakeTimedOut() const {
    return m_session && m_session->timedOut();
}

qint64 RelayStream::bytesToWrite() const {
    if (m_tls)
        return m_tls->bytesToWrite();
    return m_writer ? m_writer->bytesToWrite() : 0;
}

bool RelayStream::writeClosed() const {
    return m_tls || !m_writer ? m_writeClosed : m_writer->writeClosed();
}

void RelayStream::setReading(bool on) {
    const bool was = m_reading;
    m_reading = on;
    if (m_tls && on && !was)
        QMetaObject::invokeMethod(this, &RelayStream::readSecured, Qt::QueuedConnection);
    if (m_readNotifier)
        m_readNotifier->setEnabled(on && m_connected && !m_readEnded && !m_failed);
}

void RelayStream::onReadable() {
    QByteArray buffer(ReadSize, Qt::Uninitialized);
    const ssize_t got = ::read(m_descriptor, buffer.data(), std::size_t(buffer.size()));
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            fail(errno);
        return;
    }
    if (got == 0) {
        m_readEnded = true;
        m_readNotifier->setEnabled(false);
        emit readEnded();
        return;
    }
    buffer.truncate(got);
    emit received(buffer);
}

void RelayStream::onConnectDone() {
    if (const int error = pendingSocketError(m_descriptor); error != 0) {
        fail(error);
        return;
    }
    // Only one watch for writing per descriptor: the writer's takes over.
    m_connectWatch->setEnabled(false);
    std::exchange(m_connectWatch, nullptr)->deleteLater();
    m_connected = true;
    learnPeer();
    m_writer->start();
    setReading(m_reading);
    emit connected();
}

void RelayStream::write(const QByteArray &data) {
    if (m_failed || m_closeWriting || data.isEmpty())
        return;
    m_written += data.size();
    if (m_tls)
        m_tls->write(data);
    else if (m_writer)
        m_writer->write(data);
}

void RelayStream::closeWriting() {
    m_closeWriting = true;
    if (m_tls) {
        if (m_connected && !m_failed && !m_writeClosed && m_tls->bytesToWrite() == 0) {
            m_writeClosed = true;
            m_tls->disconnectFromHost();
        }
        return;
    }
    if (m_writer && !m_failed)
        m_writer->closeWriting();
}

void RelayStream::fail(int error) {
    fail(winsockErrorForErrno(error));
}

void RelayStream::fail(const WinsockError &error) {
    if (m_failed)
        return;
    m_failed = true;
    m_failure = error;
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_connectWatch)
        m_connectWatch->setEnabled(false);
    if (m_writer)
        m_writer->stop();
    // Told from the event loop: the caller of write or connectTo is still busy with this stream.
    QTimer::singleShot(0, this, [this, error] { emit failed(error); });
}

void RelayStream::close() {
    const bool ended = m_failed;
    m_failed = true;
    m_closed = true;
    if (m_tls) {
        // A side closed in order goes on alone until what it holds has gone, at most a while.
        QSslSocket *socket = std::exchange(m_tls, nullptr);
        socket->disconnect(this);
        if (ended || !m_writeClosed || socket->state() == QAbstractSocket::UnconnectedState) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        socket->setParent(nullptr);
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(ClosingMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        return;
    }
    if (m_descriptor < 0)
        return;
    // Possibly inside one of the notifiers' own signals: they go once it has returned.
    for (QSocketNotifier *notifier : {m_readNotifier, m_connectWatch}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = m_connectWatch = nullptr;
    m_writer->stop();
    m_writer->disconnect(this);
    std::exchange(m_writer, nullptr)->deleteLater();
    ::close(m_descriptor);
    m_descriptor = -1;
}

void RelayStream::reset() {
    const int descriptor = m_tls ? int(m_tls->socketDescriptor()) : m_descriptor;
    if (descriptor >= 0) {
        const linger now{1, 0};
        ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    m_failed = true; // nothing orderly is waited for
    close();
}

QString RelayStream::farAddress() const {
    return m_peerAddress.isNull() ? QString() : m_peerAddress.toString();
}

Link::Phase RelayStream::phase() const {
    if (m_failure)
        return Phase::Failed;
    if (m_closed)
        return Phase::Closed;
    return m_connected ? Phase::Open : Phase::Opening;
}

// What was queued less what still waits: the system may take a write at once, untold.
qint64 RelayStream::bytesSent() const {
    return m_written - bytesToWrite();
}

QString RelayStream::failure() const {
    return m_failure ? failureText(*m_failure) : QString();
}

bool RelayStream::send(const QByteArray &bytes) {
    if (m_failed || m_closeWriting)
        return false;
    write(bytes);
    return true;
}
