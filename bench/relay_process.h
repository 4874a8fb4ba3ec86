#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>

// Loopback TCP for the relay benchmarks: a listening socket on a free port (its port set), a
// client connected with TCP_NODELAY (-1 when it cannot be), a port free a moment ago.
int listenOn(quint16 &port);
int connectTo(quint16 port);
quint16 freePort();

// A relay under test, `kind` "socat" or "sendrel": started on a port of its own towards
// `target`, stopped on destruction.
struct RelayProcess {
    QProcess process;
    quint16 port = freePort();
    // `extra`: more options for sendrel (--udp instead of --tcp among them).
    RelayProcess(const QString &kind, quint16 target, const QString &logFolder,
                 const QStringList &extra = {});
    ~RelayProcess();
};

// MiB/s of `total` bytes from a client through the relay to a target that reads them all; 0 when
// not all arrived.
double bulk(const QString &kind, std::uint64_t total, const QString &logFolder,
            const QStringList &extra = {});
