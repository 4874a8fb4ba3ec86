#include "net/tls_session.h"

#include "net/tls_context.h"
#include "net/tls_words.h"

#include <QPointer>
#include <QSslCipher>
#include <QSslSocket>

TlsSession::TlsSession(QSslSocket *socket, std::shared_ptr<const TlsContext> context,
                       QObject *parent)
    : QObject(parent), m_socket(socket), m_context(std::move(context)) {
    socket->setSslConfiguration(m_context->configuration());
    m_late.setSingleShot(true);
    connect(&m_late, &QTimer::timeout, this, &TlsSession::onLate);
    connect(socket, &QSslSocket::encrypted, this, &TlsSession::onEncrypted);
    connect(socket, &QSslSocket::sslErrors, this,
            [this](const QList<QSslError> &errors) { m_errors = errors; });
    connect(socket, &QSslSocket::alertReceived, this,
            [this](QSsl::AlertLevel level, QSsl::AlertType, const QString &description) {
                if (level == QSsl::AlertLevel::Fatal)
                    m_alert = description;
            });
}

void TlsSession::startServer() {
    m_late.start(m_limitMs);
    m_socket->startServerEncryption();
}

// A connection that cannot be made fails as a plain one does, in its own time.
void TlsSession::connectToHost(const QString &host, quint16 port, const QString &peerName) {
    connect(m_socket, &QAbstractSocket::connected, this, [this] {
        if (!m_secured && !hasFailed())
            m_late.start(m_limitMs);
    });
    m_socket->connectToHostEncrypted(host, port, peerName.isEmpty() ? host : peerName);
}

void TlsSession::onLate() {
    m_timedOut = true;
    const QPointer<QSslSocket> socket = m_socket;
    fail(handshakeLateWords(m_limitMs));
    if (socket)
        socket->abort();
}

void TlsSession::onEncrypted() {
    m_late.stop();
    const QSslCertificate peer = m_socket->peerCertificate();
    if (m_context->role() == TlsContext::Role::Client) {
        if (const QString mismatch = pinMismatch(peer, m_context->options().pin);
            !mismatch.isEmpty()) {
            fail(mismatch);
            m_socket->abort();
            return;
        }
    }
    // Only offered protocols can be agreed on; the socket's configuration is a costly copy.
    const QByteArray agreed = m_context->options().alpn.isEmpty()
                                  ? QByteArray()
                                  : m_socket->sslConfiguration().nextNegotiatedProtocol();
    m_summary =
        securitySummary(m_socket->sessionProtocol(), m_socket->sessionCipher(), peer, agreed);
    m_secured = true;
    emit secured();
}

bool TlsSession::takesError(QAbstractSocket::SocketError error) {
    if (hasFailed())
        return true;
    const bool tlsError = error == QAbstractSocket::SslHandshakeFailedError
                          || error == QAbstractSocket::SslInternalError
                          || error == QAbstractSocket::SslInvalidUserDataError;
    if (m_secured && !tlsError)
        return false;
    // An outgoing connection that never reached the peer failed as a plain one does.
    if (!m_secured && m_context->role() == TlsContext::Role::Client && !tlsError
        && m_socket->state() != QAbstractSocket::ConnectedState
        && error != QAbstractSocket::RemoteHostClosedError)
        return false;
    fail(describeFailure());
    return true;
}

QString TlsSession::describeFailure() const {
    if (!m_alert.isEmpty())
        return peerRefusal(m_alert);
    if (!m_errors.isEmpty())
        return verificationText(m_errors);
    const QString text = m_socket->errorString();
    if (const QString words = handshakeErrorWords(text); words != text)
        return words;
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError
        || text.contains(QLatin1String("unexpected eof"), Qt::CaseInsensitive))
        return QStringLiteral("the peer closed the connection during the handshake");
    return text;
}

void TlsSession::fail(const QString &why) {
    if (hasFailed())
        return;
    m_late.stop();
    m_failure = why;
    emit failed(why);
}
