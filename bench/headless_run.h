#pragma once

#include "log_check.h"

#include <QString>

#include <cstdint>
#include <vector>

class PeerSocket;
class ScratchFolder;

// The receivers a loopback stream is piped through on the command line.
enum class Receiver { Netcat, NetcatTee, Sendrel, SendrelLog };

QString receiverName(Receiver receiver);

// The size of a file; -1 when there is none.
qint64 fileSize(const QByteArray &path);
// Whether something listens on TCP `port` or holds UDP `port`, IPv4 or IPv6, as the system's
// tables say: probing by connecting would use up the one connection nc takes.
bool portTaken(std::uint16_t port, bool udp);

struct HeadlessRun {
    bool completed = false;
    double mibPerSecond = 0;
    double cpuSeconds = 0; // the receiving processes, user and system
    qint64 outputBytes = 0;
    qint64 teeBytes = 0; // what tee wrote beside its output
    LogContents log;     // what sendrel logged
    QString problem;
};

// Sends `total` bytes over loopback into one receiver at a time, its standard output (and log)
// written into a given folder.
class HeadlessBench {
public:
    HeadlessBench(std::uint64_t total, const QString &sendrel, const QString &netcat,
                  const QString &tee);

    // The files go into `folder` and are removed again after the run.
    HeadlessRun run(Receiver receiver, const ScratchFolder &folder) const;

private:
    bool sendAll(const PeerSocket &socket) const;

    std::uint64_t m_total;
    QString m_sendrel;
    QString m_netcat;
    QString m_tee;
    std::vector<char> m_pattern;
};
