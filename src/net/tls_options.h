#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

// Whether a secure listener asks its peers for a certificate, and whether it must get one.
enum class ClientCertificates { None, Request, Require };

// How TLS is used on a TCP connection, by a listener or a client; the defaults are plain TCP.
// One value serves both ends: a listener reads the certificate, key, CA and client-certificate
// mode; a client the CA (instead of the system's), the verification choices, the ALPN list, and
// the certificate and key when a server asks for one.
struct TlsOptions {
    bool enabled = false;
    QString certificateFile;  // PEM
    QString keyFile;          // PEM, maybe protected by a passphrase
    QByteArray keyPassphrase; // never stored
    QString caFile;           // PEM, one or more certificates
    ClientCertificates clientCertificates = ClientCertificates::None;
    bool insecure = false; // a client that does not verify the server
    QByteArray pin;        // a client's SHA-256 of the server's certificate; empty: none
    QByteArrayList alpn;   // protocols offered, in order of preference

    bool operator==(const TlsOptions &) const = default;
};

// Each parse answers what is wrong for the operator to read, empty when nothing is, and fills
// its result only then.
// 64 hex digits, with or without colons (as `openssl x509 -fingerprint -sha256` prints them).
QString parsePin(const QString &text, QByteArray &pin);
QString parseClientCertificates(const QString &text,
                                ClientCertificates &mode);         // none|request|require
QString parseAlpn(const QString &text, QByteArrayList &protocols); // comma-separated

// The stored forms, read back by the parses above.
QString pinText(const QByteArray &pin); // "AB:CD:...", empty for none
QString clientCertificatesText(ClientCertificates mode);
QString alpnText(const QByteArrayList &protocols);
