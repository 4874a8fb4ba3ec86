#pragma once

#include "net/tls_options.h"

#include <QSslConfiguration>
#include <QString>

#include <memory>

// TLS options with their files read, for every connection of a listener or of a client: read
// once (and checked: a key that does not belong to its certificate is refused before anything
// listens), then shared by the connections, which copy the configuration. Any core code that
// ends TLS on a connection makes one and hands it to TcpConnection.
class TlsContext {
public:
    enum class Role { Server, Client };

    // Null, with `problem` saying why, when a file cannot be read or the options do not fit
    // together.
    static std::shared_ptr<const TlsContext> load(const TlsOptions &options, Role role,
                                                  QString &problem);

    Role role() const { return m_role; }
    const TlsOptions &options() const { return m_options; }
    const QSslConfiguration &configuration() const { return m_configuration; }
    // "AB:CD:..." of the own certificate; empty without one.
    QString fingerprint() const { return m_fingerprint; }

private:
    TlsContext(const TlsOptions &options, Role role) : m_options(options), m_role(role) {}
    QString loadServer();
    QString loadClient();
    QString loadIdentity();
    QString loadAuthorities();

    TlsOptions m_options;
    Role m_role;
    QSslConfiguration m_configuration;
    QString m_fingerprint;
};
