#include "net/tls_context.h"

#include "net/certificate_files.h"

#include <QSslSocket>

std::shared_ptr<const TlsContext>
TlsContext::load(const TlsOptions &options, Role role, QString &problem,
                 const std::shared_ptr<const TlsContext> &previous) {
    if (!QSslSocket::supportsSsl()) {
        problem = QStringLiteral("TLS is not available: the system's OpenSSL could not be loaded");
        return nullptr;
    }
    QList<QByteArray> sources;
    const bool readable = readSources(options, sources);
    if (readable && previous && previous->m_role == role && previous->m_options == options
        && previous->m_sources == sources) {
        problem.clear();
        return previous;
    }
    std::shared_ptr<TlsContext> context(new TlsContext(options, role));
    if (readable)
        context->m_sources = sources;
    context->m_configuration = QSslConfiguration::defaultConfiguration();
    problem = role == Role::Server ? context->loadServer() : context->loadClient();
    if (!problem.isEmpty())
        return nullptr;
    if (!options.alpn.isEmpty())
        context->m_configuration.setAllowedNextProtocols(options.alpn);
    return context;
}

bool TlsContext::readSources(const TlsOptions &options, QList<QByteArray> &sources) {
    QString unused;
    for (const QString &file : {options.certificateFile, options.keyFile, options.caFile}) {
        QByteArray bytes;
        if (!file.isEmpty() && !readPemFile(file, bytes, unused))
            return false;
        sources.append(bytes);
    }
    return true;
}

QString TlsContext::loadIdentity() {
    const TlsIdentity identity =
        readIdentity(m_options.certificateFile, m_options.keyFile, m_options.keyPassphrase);
    if (!identity.error.isEmpty())
        return identity.error;
    m_configuration.setLocalCertificateChain(identity.chain);
    m_configuration.setPrivateKey(identity.key);
    m_fingerprint = fingerprintText(identity.chain.constFirst());
    return {};
}

// The CA file, when one is given, replaces the system's CAs.
QString TlsContext::loadAuthorities() {
    if (m_options.caFile.isEmpty())
        return {};
    QString error;
    const QList<QSslCertificate> authorities = readCertificates(m_options.caFile, error);
    if (error.isEmpty())
        m_configuration.setCaCertificates(authorities);
    return error;
}

QString TlsContext::loadServer() {
    if (m_options.certificateFile.isEmpty() || m_options.keyFile.isEmpty())
        return QStringLiteral("a secure listener needs a certificate file and its key file");
    if (QString error = loadIdentity(); !error.isEmpty())
        return error;
    switch (m_options.clientCertificates) {
    case ClientCertificates::None:
        m_configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        break;
    case ClientCertificates::Request:
        m_configuration.setPeerVerifyMode(QSslSocket::QueryPeer);
        break;
    case ClientCertificates::Require:
        if (m_options.caFile.isEmpty())
            return QStringLiteral("requiring client certificates needs the CA file that "
                                  "issued them");
        m_configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
        break;
    }
    return loadAuthorities();
}

QString TlsContext::loadClient() {
    if (!m_options.certificateFile.isEmpty() || !m_options.keyFile.isEmpty()) {
        if (m_options.certificateFile.isEmpty() || m_options.keyFile.isEmpty())
            return QStringLiteral("a client certificate needs both its file and its key file");
        if (QString error = loadIdentity(); !error.isEmpty())
            return error;
    }
    if (QString error = loadAuthorities(); !error.isEmpty())
        return error;
    // A pinned certificate is checked by its fingerprint alone, once the handshake has it.
    const bool verify = !m_options.insecure && m_options.pin.isEmpty();
    m_configuration.setPeerVerifyMode(verify ? QSslSocket::VerifyPeer : QSslSocket::VerifyNone);
    return {};
}
