#pragma once

#include "model/relay_options.h"
#include "net/network_options.h"
#include "net/tls_options.h"
#include "respond/response_rule.h"
#include "settings/settings_store.h"

#include <QByteArrayList>
#include <QList>
#include <QString>
#include <optional>

// What the command line asks for. An option left out leaves what the settings file holds.
struct CommandLine {
    enum class Mode { Window, Headless, Send, Packets };
    static constexpr int DefaultWaitMs = 10000;
    static constexpr int DefaultIntervalMs = 1000;

    Mode mode = Mode::Window;
    QString settingsFile; // empty: the window's own file
    std::optional<int> port;
    std::optional<bool> tcp; // true --tcp, false --udp
    bool http = false;
    std::optional<QString> logFolder;
    // Auto-respond pairs in the order given (at most PairCount); when any is given they replace
    // the settings' pairs. The rules files' rules come after the pairs.
    QList<ResponseRule> pairs;
    QList<ResponseRule> fileRules;
    bool hex = false;
    bool quiet = false;
    bool verbose = false;
    // The traffic counters on stderr at the end and on SIGUSR1.
    bool stats = false;
    QString sendText;
    QString sendFile;               // --send-file: its bytes instead of sendText
    std::optional<int> sendBlock;   // --block: UDP file blocks; none: the file send's default
    std::optional<qint64> maxBytes; // --max-bytes: where a file send stops at the latest
    QString sendHost;
    int sendPort = 0;
    // How long a send waits, after its own linger, for its bytes to leave; a file send gives
    // up after as long without progress.
    int waitMs = DefaultWaitMs;
    // Given (and not 0), --wait also bounds a TLS send's handshake in place of its own limit.
    bool waitGiven = false;
    // Send again and again: this many times (0: until a signal), one interval apart.
    std::optional<int> repeat;
    int intervalMs = DefaultIntervalMs;
    // Network options given; each replaces what the settings file holds.
    std::optional<QHostAddress> bindAddress;
    QList<QHostAddress> groups; // none given: the file's
    std::optional<QString> interfaceName;
    bool broadcast = false; // given: allowed, else the file's
    std::optional<int> ttl;
    std::optional<int> udpBufferKiB;
    // Saved packets: the file (empty: beside the settings file), and in Mode::Packets what to
    // run (a packet, with sendHost/sendPort when --to is given, or a sequence) or the list.
    QString packetsFile;
    QString packetName;
    QString sequenceName;
    bool listPackets = false;
    // --relay and its link faults; --pcap: the capture file (absolute), empty without.
    std::optional<RelayOptions> relay;
    QString pcapFile;
    // --faults: the relay's named faults (absolute), checked; empty: the file beside the
    // settings file.
    QString faultsFile;
    // --script: the operator's script (absolute), empty without; each call into it within
    // --script-timeout.
    QString scriptFile;
    int scriptTimeoutMs = 50;
    // --tls and its options: they replace the TLS options the settings file holds, the
    // listener's for --headless, the client's for a send.
    std::optional<TlsOptions> tls;
    QString makeCertFolder; // --make-cert: make a certificate there, nothing else
    // --control: where the control API listens (no port: it does not), and the token its
    // clients send, empty for none.
    QHostAddress controlAddress;
    std::optional<quint16> controlPort;
    QByteArray controlToken;

    // Set when the program ends without running: --help, --version or a usage error.
    std::optional<int> exitCode;
    QString message; // for stdout when the exit code is 0, else for stderr
};

// The arguments as the system passed them, the program's name first.
CommandLine parseCommandLine(const QByteArrayList &arguments);

// The settings file the command line names, written only by the window.
SettingsLocation settingsLocation(const CommandLine &line);

// Whether a window can be opened: a display named in the environment, or a Qt platform plugin
// chosen by hand (such as offscreen).
bool displayAvailable();
