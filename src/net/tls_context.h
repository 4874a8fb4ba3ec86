#pragma once

#include "net/tls_options.h"

#include <QByteArray>
#include <QList>
#include <QSslConfiguration>
#include <QString>

#include <memory>

// TLS options with their files read, for every connection of a listener or of a client: read
// once (and checked: a key that does not belong to its certificate is refused before anything
// listens), then shared by the connections, which copy the configuration. Any core code that
// ends TLS on a connection makes one and hands it to TcpConnection.
// Parsing the key and certificates costs milliseconds, which a listener that reopens after each
// peer would pay per peer; a load given the last context keeps it while the options are the
// same and every file still holds the bytes it was made from.
class TlsContext {
public:
    enum class Role { Server, Client };

    // Null, with `problem` saying why, when a file cannot be read or the options do not fit
    // together.
    static std::shared_ptr<const TlsContext>
    load(const TlsOptions &options, Role role, QString &problem,
         const std::shared_ptr<const TlsContext> &previous = {});

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
    // The bytes of the files the options name, in one list; false when one cannot be read.
    static bool readSources(const TlsOptions &options, QList<QByteArray> &sources);

    TlsOptions m_options;
    Role m_role;
    QSslConfiguration m_configuration;
    QString m_fingerprint;
    QList<QByteArray> m_sources; // read before the parse, so a change meanwhile is seen later
};
