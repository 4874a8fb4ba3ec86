#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>

#include "net/socket_errors.h"

class QTcpSocket;
class StreamWriter;
class TlsContext;
class TlsSession;

// One TCP connection and its flow: arrivals gathered during a flood, reading paused for a slow
// consumer, a bound on what waits to go out, and delivery of what was sent after it is closed.
// It owns its socket; nobody else sees the socket's type. Given a TLS context, the socket is a
// secure one: it counts as connected once the handshake is done.
// A plain connection writes on a descriptor of its own: Qt's socket takes a peer's half-close for
// a full close and drops what it still holds, while the peer may well wait for its answer.
class TcpConnection final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TcpConnection)

public:
    // Takes the socket over, connected already or still to be connected with connectToHost.
    explicit TcpConnection(QTcpSocket *socket, QObject *parent = nullptr,
                           std::shared_ptr<const TlsContext> tls = {});
    ~TcpConnection() override;

    // The connection a request of TcpServer stands for; nullptr when it cannot be taken up.
    // With `tls` (a server context) the handshake starts at once.
    static TcpConnection *fromRequest(qintptr requestID, QObject *parent,
                                      std::shared_ptr<const TlsContext> tls = {});
    // A connection still to be made; with `tls` (a client context) a secure one, the host
    // checked against the certificate and sent as the server name.
    static TcpConnection *outgoing(QObject *parent, std::shared_ptr<const TlsContext> tls = {});

    void connectToHost(const QString &host, quint16 port);
    QHostAddress peerAddress() const;
    quint16 peerPort() const;
    quint16 localPort() const;
    QString errorString() const;
    bool isSecure() const { return m_tls != nullptr; }
    // The handshake's protocol, cipher and peer once it is done; empty before, and for TCP.
    QString securitySummary() const;
    // TLS: how long an outgoing connection's handshake may take once connected (before
    // connectToHost); whether it is under way, and whether it failed for taking longer.
    void setHandshakeLimit(int ms);
    bool handshaking() const;
    bool handshakeTimedOut() const;

    // While paused nothing is announced, and TCP pushes back on the peer once the read buffer is
    // full.
    void setPaused(bool paused);
    // Announces what already waits, unless paused.
    void announceWaiting();
    // What the peer sent before closing must be announced at once, not gathered.
    void stopGathering();
    qint64 bytesAvailable() const;
    QByteArray takeAll();

    // Hands data to the system. Null, with `whole` telling whether all of it was taken; or the
    // failure that ends the connection, found while writing or because too much waits to go out.
    std::optional<WinsockError> write(const QByteArray &data, bool &whole);
    qint64 bytesToWrite() const;
    qint64 bytesSent() const { return m_sent; }
    // Whether write may still send: also after the peer half-closed, for a plain connection.
    bool canWrite() const;
    // Why writing failed (a plain connection's own writing); null while it has not.
    std::optional<WinsockError> writeFailure() const;

    // Bytes that were sent yet have not reached the peer.
    bool holdsUndelivered() const;
    void abort();
    // Delivers what it holds, then closes: `delivered` comes once the peer has closed its side
    // too, or `lingerMs` have passed.
    void deliverThenClose(int lingerMs);

signals:
    void hostFound();
    void connecting();
    void connected();
    void dataArrival(qint64 bytesWaiting);
    void bytesWritten(qint64 bytes);
    void peerClosed();
    // Not raised while write runs: write reports those itself.
    void socketError(QAbstractSocket::SocketError error);
    // Whether bytes were lost: not every one acknowledged by the peer.
    void delivered(bool lost);
    // TLS: the handshake is done; or it failed, `why` in words (the connection is then over).
    void secured();
    void secureFailed(const QString &why);

private:
    void connectSecurity(std::shared_ptr<const TlsContext> tls);
    void connectReading();
    void connectConnecting();
    void connectErrorsAndWrites();
    void onReadyRead();
    bool gatherMore(qint64 waiting);
    void deliverGathered();
    void startWriter();
    void onWriteFailed(int error);
    void releaseWriter();
    void watchDelivery(int lingerMs);

    QTcpSocket *m_socket;
    TlsSession *m_tls = nullptr;
    // A plain connection's own descriptor and what goes out on it.
    int m_own = -1;
    StreamWriter *m_writer = nullptr;
    bool m_emittingWritten = false;
    QString m_writeFailure;
    bool m_paused = false;
    int m_writing = 0;
    bool m_writeFailed = false;
    QAbstractSocket::SocketError m_writeError = QAbstractSocket::UnknownSocketError;
    qint64 m_sent = 0;
    // The size of the last chunk announced, and the wait that lets a flood's next chunk grow.
    qint64 m_lastChunk = 0;
    QTimer m_gather;
    // TLS announces every record it decrypts (4 KiB each); they are taken together once the
    // socket has decrypted all it holds.
    QTimer m_records;
};
