#pragma once

#include "net/tls_options.h"

// A listener's TLS with its own certificate and key, nothing else chosen.
inline TlsOptions serverTls(const QString &certificateFile, const QString &keyFile) {
    TlsOptions tls;
    tls.enabled = true;
    tls.certificateFile = certificateFile;
    tls.keyFile = keyFile;
    return tls;
}
