#pragma once

#include <QAbstractSocket>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>

#include <memory>

class QSslSocket;
class TlsContext;

// The handshake of one TLS connection and what the operator is told of it: once it is done the
// protocol, cipher and peer certificate; when it fails, why, in words.
class TlsSession final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TlsSession)

public:
    // Configures `socket` (which it does not own) as the context says.
    TlsSession(QSslSocket *socket, std::shared_ptr<const TlsContext> context, QObject *parent);

    void startServer();
    void connectToHost(const QString &host, quint16 port);
    bool isSecured() const { return m_secured; }
    bool hasFailed() const { return !m_failure.isEmpty(); }
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
    void fail(const QString &why);
    QString describeFailure() const;

    QSslSocket *m_socket;
    std::shared_ptr<const TlsContext> m_context;
    QString m_host;
    QList<QSslError> m_errors;
    QString m_alert;
    bool m_secured = false;
    QString m_summary;
    QString m_failure;
};
