#include "net/tls_words.h"

#include "net/certificate_files.h"
#include "net/tls_options.h"

#include <QSslCertificate>
#include <QSslCipher>
#include <QStringList>

namespace {

QString protocolText(QSsl::SslProtocol protocol) {
    switch (protocol) {
    case QSsl::TlsV1_2:
        return QStringLiteral("TLSv1.2");
    case QSsl::TlsV1_3:
        return QStringLiteral("TLSv1.3");
    case QSsl::DtlsV1_2:
        return QStringLiteral("DTLSv1.2");
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

QString securitySummary(QSsl::SslProtocol protocol, const QSslCipher &cipher,
                        const QSslCertificate &peer, const QByteArray &alpn) {
    QStringList parts{protocolText(protocol), cipher.name()};
    if (!peer.isNull())
        parts.append(QStringLiteral("peer ") + subjectText(peer));
    if (!alpn.isEmpty())
        parts.append(QStringLiteral("ALPN ") + QString::fromUtf8(alpn));
    return parts.join(QStringLiteral(", "));
}

QString verificationText(const QList<QSslError> &errors) {
    QStringList words;
    for (const QSslError &error : errors)
        words.append(verificationWords(error));
    words.removeDuplicates();
    return words.join(QStringLiteral("; "));
}

QString pinMismatch(const QSslCertificate &peer, const QByteArray &pin) {
    if (pin.isEmpty() || (!peer.isNull() && peer.digest(QCryptographicHash::Sha256) == pin))
        return {};
    return QStringLiteral("the certificate's SHA-256 fingerprint %1 is not the pinned %2")
        .arg(peer.isNull() ? QStringLiteral("(none)") : fingerprintText(peer), pinText(pin));
}

QString peerRefusal(const QString &alert) {
    return QStringLiteral("the peer refused it: ") + alert;
}

QString handshakeErrorWords(const QString &text) {
    const QString lower = text.toLower();
    // "...:tlsv1 alert unknown ca": the peer's own alert.
    if (const qsizetype alert = lower.indexOf(QLatin1String("alert ")); alert >= 0)
        return peerRefusal(text.mid(alert + 6));
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
    return text;
}

QString handshakeLateWords(int limitMs) {
    return QStringLiteral("did not finish within %1 s").arg(QString::number(limitMs / 1000.0));
}
