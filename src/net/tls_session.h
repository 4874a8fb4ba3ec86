#pragma once

#include <QAbstractSocket>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>

#include <memory>

#include "net/tls_words.h"

class QSslSocket;
class TlsContext;

// The handshake of one TLS connection and what the operator is told of it: once it is done the
// protocol, cipher and peer certificate; when it fails, why, in words. A handshake that is not done
// within its limit (from its start: the TCP connection, for a client) fails as late.
class TlsSession final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TlsSession)

public:
    // Configures `socket` (which it does not own) as the context says.
    TlsSession(QSslSocket *socket, std::shared_ptr<const TlsContext> context, QObject *parent);

    // Set before the handshake starts.
    void setLimit(int ms) { m_limitMs = ms; }
    int limit() const { return m_limitMs; }
    void startServer();
    // `peerName` is the name the certificate must carry and the one sent; empty: `host`.
    void connectToHost(const QString &host, quint16 port, const QString &peerName = {});
    bool isSecured() const { return m_secured; }
    bool hasFailed() const { return !m_failure.isEmpty(); }
    // Failed for taking longer than the limit; failure() then says "did not finish within 5 s".
    bool timedOut() const { return m_timedOut; }
    // "TLSv1.3, TLS_AES_256_GCM_SHA384, peer CN=device" (and ", ALPN h2"); empty until secured.
    QString summary() const { return m_summary; }
    QString failure() const { return m_failure; }
    // Whether a socket error belongs to the handshake, which then failed and says so itself.
    bool takesError(QAbstractSocket::SocketError error);

signals:
    // The handshake is done and the peer checked; application data may flow.
    void secured();
    void failed(const QString &why);

private:
    void onEncrypted();
    void onLate();
    void fail(const QString &why);
    QString describeFailure() const;

    QSslSocket *m_socket;
    std::shared_ptr<const TlsContext> m_context;
    QList<QSslError> m_errors;
    QString m_alert;
    bool m_secured = false;
    bool m_timedOut = false;
    int m_limitMs = HandshakeLimitMs;
    QTimer m_late;
    QString m_summary;
    QString m_failure;
};
