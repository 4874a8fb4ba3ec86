#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <memory>
#include <optional>

#include "net/link.h"
#include "net/socket_errors.h"

class QSocketNotifier;
class QSslSocket;
class StreamWriter;
class TlsContext;
class TlsSession;

// One side of a relayed TCP connection, on a descriptor of its own: Qt's socket takes a peer's
// half-close for a full close, while a relay must pass the half-close on and keep the other
// direction flowing. Reading can be paused (TCP then holds the peer back); what is written waits
// here until the system takes it, and its amount is the caller's to bound.
// A secured stream (given a TLS context) rides on Qt's socket instead: TLS has no half-close, so
// there the peer's close_notify or close ends the side both ways, and closeWriting closes it.
class RelayStream final : public QObject, public Link {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RelayStream)

public:
    // The relay's sockets are made here and nowhere else, so that a secured stream can take the
    // place of a plain one in one spot.
    // The connection a TcpServer request stands for; nullptr when it cannot be taken up.
    // With a server context the stream is secured: `secured` or `tlsFailed` follows.
    static RelayStream *fromRequest(qintptr requestID, QObject *parent,
                                    std::shared_ptr<const TlsContext> tls = {});
    // Connects; `connected` or `failed` follows, never before this has returned. With a client
    // context `connected` waits for the handshake, which checks the certificate for `host`.
    static RelayStream *connectTo(const QHostAddress &address, quint16 port, QObject *parent,
                                  std::shared_ptr<const TlsContext> tls = {},
                                  const QString &host = {});
    ~RelayStream() override;

    bool isConnected() const { return m_connected; }
    // IPv4 addresses as IPv4, never ::ffff:.
    QHostAddress peerAddress() const { return m_peerAddress; }
    quint16 peerPort() const { return m_peerPort; }

    void setReading(bool on);
    // Queued after what waits; the system takes it as it can.
    void write(const QByteArray &data);
    qint64 bytesToWrite() const;
    // The end of the stream, once what waits has gone.
    void closeWriting();
    bool atEnd() const { return m_readEnded; }
    // A secured stream whose handshake failed for taking longer than its limit.
    bool handshakeTimedOut() const;
    bool writeClosed() const;
    // Both ways at once; nothing is raised any more.
    void close();
    // As close(), but the peer is told with a reset (RST), whatever still waits.
    void reset();

    QString farAddress() const override;
    int farPort() const override { return m_peerPort; }
    int nearPort() const override { return m_localPort; }
    bool datagrams() const override { return false; }
    Phase phase() const override;
    QString failure() const override;
    // Queued as write() queues it: false only once the stream can take nothing more.
    bool send(const QByteArray &bytes) override;
    qint64 bytesSent() const override;
    QString chunkSecurity() const override { return {}; }

signals:
    void connected();
    void received(const QByteArray &data);
    // The peer half-closed: it sends no more.
    void readEnded();
    // Some of what waited went out (not raised while `write` runs).
    void bytesWritten(qint64 bytes);
    void failed(const WinsockError &error);
    // A secured stream's handshake: done ("TLSv1.3, cipher, peer ..."), or failed and why.
    void secured(const QString &summary);
    void tlsFailed(const QString &why);

private:
    RelayStream(int descriptor, bool connected, QObject *parent);
    void onReadable();
    void onConnectDone();
    void fail(int error);
    void fail(const WinsockError &error);
    void learnPeer();
    void secure(QSslSocket *socket, std::shared_ptr<const TlsContext> tls);
    void readSecured();

    int m_descriptor = -1;
    bool m_connected = false;
    bool m_reading = true;
    bool m_readEnded = false;
    bool m_closeWriting = false;
    bool m_writeClosed = false; // a secured stream's
    bool m_failed = false;
    bool m_closed = false;
    std::optional<WinsockError> m_failure;
    qint64 m_written = 0; // handed to write()
    quint16 m_localPort = 0;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_connectWatch = nullptr;
    StreamWriter *m_writer = nullptr;
    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;
    QSslSocket *m_tls = nullptr; // a secured stream's socket, in place of the descriptor
    TlsSession *m_session = nullptr;
};
