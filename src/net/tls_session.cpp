#include "net/tls_session.h"

#include "net/certificate_files.h"
#include "net/tls_context.h"

#include <QSslCipher>
#include <QSslSocket>
#include <QStringList>

namespace {

QString protocolText(QSsl::SslProtocol protocol) {
    switch (protocol) {
    case QSsl::TlsV1_2:
        return QStringLiteral("TLSv1.2");
    case QSsl::TlsV1_3:
        return QStringLiteral("TLSv1.3");
    default:
        return QStringLiteral("TLS");
    }
}

// "CN=device, O=Example"
QString subjectText(const QSslCertificate &certificate) {
    QStringList parts;
    for (const QByteArray &attribute : certificate.subjectInfoAttributes()) {
        for (const QString &value : certificate.subjectInfo(attribute))
            parts.append(QString::fromLatin1(attribute) + u'=' + value);
    }
    return parts.join(QStringLiteral(", "));
}

// What a failed verification means, shortest first, then Qt's own sentence.
QString verificationWords(const QSslError &error) {
    QString words;
    switch (error.error()) {
    case QSslError::CertificateExpired:
        words = QStringLiteral("certificate has expired");
        break;
    case QSslError::CertificateNotYetValid:
        words = QStringLiteral("certificate is not valid yet");
        break;
    case QSslError::HostNameMismatch:
        words = QStringLiteral("wrong host");
        break;
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
        words = QStringLiteral("unknown CA");
        break;
    case QSslError::NoPeerCertificate:
        return QStringLiteral("the peer sent no certificate");
    default:
        return error.errorString();
    }
    return words + QStringLiteral(" (") + error.errorString() + u')';
}

} // namespace

TlsSession::TlsSession(QSslSocket *socket, std::shared_ptr<const TlsContext> context,
                       QObject *parent)
    : QObject(parent), m_socket(socket), m_context(std::move(context)) {
    socket->setSslConfiguration(m_context->configuration());
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
    m_socket->startServerEncryption();
}

void TlsSession::connectToHost(const QString &host, quint16 port) {
    m_host = host;
    m_socket->connectToHostEncrypted(host, port);
}

void TlsSession::onEncrypted() {
    const QSslCertificate peer = m_socket->peerCertificate();
    const QByteArray &pin = m_context->options().pin;
    if (m_context->role() == TlsContext::Role::Client && !pin.isEmpty()
        && peer.digest(QCryptographicHash::Sha256) != pin) {
        fail(QStringLiteral("the certificate's SHA-256 fingerprint %1 is not the pinned %2")
                 .arg(peer.isNull() ? QStringLiteral("(none)") : fingerprintText(peer),
                      pinText(pin)));
        m_socket->abort();
        return;
    }
    QStringList parts{protocolText(m_socket->sessionProtocol()), m_socket->sessionCipher().name()};
    if (!peer.isNull())
        parts.append(QStringLiteral("peer ") + subjectText(peer));
    const QByteArray alpn = m_socket->sslConfiguration().nextNegotiatedProtocol();
    if (!alpn.isEmpty())
        parts.append(QStringLiteral("ALPN ") + QString::fromUtf8(alpn));
    m_summary = parts.join(QStringLiteral(", "));
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
        return QStringLiteral("the peer refused it: ") + m_alert;
    if (!m_errors.isEmpty()) {
        QStringList words;
        for (const QSslError &error : m_errors)
            words.append(verificationWords(error));
        words.removeDuplicates();
        return words.join(QStringLiteral("; "));
    }
    const QString text = m_socket->errorString();
    const QString lower = text.toLower();
    for (const char *plain : {"wrong version number", "http request", "packet length too long",
                              "unknown protocol", "record layer failure", "record_layer_failure"}) {
        if (lower.contains(QLatin1String(plain)))
            return QStringLiteral("the peer sent plain text");
    }
    if (lower.contains(QLatin1String("peer did not return a certificate")))
        return QStringLiteral("the peer sent no client certificate");
    if (lower.contains(QLatin1String("no shared cipher"))
        || lower.contains(QLatin1String("unsupported protocol"))
        || lower.contains(QLatin1String("no protocols available")))
        return QStringLiteral("no protocol version or cipher in common (") + text + u')';
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError
        || lower.contains(QLatin1String("unexpected eof")))
        return QStringLiteral("the peer closed the connection during the handshake");
    return text;
}

void TlsSession::fail(const QString &why) {
    if (hasFailed())
        return;
    m_failure = why;
    emit failed(why);
}
