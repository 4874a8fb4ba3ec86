#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// The certificate and key files of a TLS end, read with the system's libcrypto, which tells what
// Qt does not: whether a key is protected, and whether it belongs to the certificate.

// A certificate (with the chain after it, as the file holds it) and its private key; `error`
// says what is wrong for the operator to read, empty when nothing is.
struct TlsIdentity {
    QList<QSslCertificate> chain; // the certificate first
    QSslKey key;
    QString error;
};

// The bytes of a PEM file, at most 1 MiB; false with `error` saying why it cannot be read.
bool readPemFile(const QString &name, QByteArray &bytes, QString &error);
// Reads both files; a key that does not belong to the certificate is an error.
TlsIdentity readIdentity(const QString &certificateFile, const QString &keyFile,
                         const QByteArray &passphrase);
// Whether the PEM key file is encrypted, so that a passphrase must be asked for.
bool keyNeedsPassphrase(const QString &keyFile);
// The certificates of a PEM file; `error` set when it cannot be read or holds none.
QList<QSslCertificate> readCertificates(const QString &file, QString &error);

// "AB:CD:..." as `openssl x509 -noout -fingerprint -sha256` prints it.
QString fingerprintText(const QSslCertificate &certificate);

// A new EC P-256 key and a self-signed certificate for `hostName`, localhost, 127.0.0.1 and ::1,
// valid for `days` from now, written to `folder` (the key readable by its owner alone). An
// existing file is never overwritten.
struct MadeCertificate {
    QString certificateFile;
    QString keyFile;
    QString fingerprint;
    QString error;
};
inline constexpr int SelfSignedDays = 365;
inline const QString MadeCertificateName = QStringLiteral("sendrel-certificate.pem");
inline const QString MadeKeyName = QStringLiteral("sendrel-key.pem");
MadeCertificate makeSelfSignedCertificate(const QString &folder, const QString &hostName,
                                          int days = SelfSignedDays);
