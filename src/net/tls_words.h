#pragma once

#include <QByteArray>
#include <QList>
#include <QSslError>
#include <QString>

class QSslCertificate;
class QSslCipher;

// What the operator reads of a TLS or DTLS handshake, the same for a stream and for datagrams.

// How long a handshake may take before it fails: a peer that says nothing must not hold what
// it was given.
inline constexpr int HandshakeLimitMs = 5000;
// "did not finish within 5 s"; a part of a second shows as "1.5 s".
QString handshakeLateWords(int limitMs);

// "TLSv1.3, TLS_AES_256_GCM_SHA384, peer CN=device" (and ", ALPN h2").
QString securitySummary(QSsl::SslProtocol protocol, const QSslCipher &cipher,
                        const QSslCertificate &peer, const QByteArray &alpn);
// The failed checks of a verification, "unknown CA; wrong host".
QString verificationText(const QList<QSslError> &errors);
// Why a pinned client refuses the certificate; empty when it is the pinned one.
QString pinMismatch(const QSslCertificate &peer, const QByteArray &pin);
// A peer's alert, "unknown ca", as its refusal of the handshake.
QString peerRefusal(const QString &alert);
// What the library's error text means for the operator, or that text itself.
QString handshakeErrorWords(const QString &text);
