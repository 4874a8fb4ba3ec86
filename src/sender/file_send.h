#pragma once

#include "sender/file_source.h"
#include "sender/sender.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class Clock;
class Configuration;
class Form;
struct ListenerState;
class OperatorDialogs;
class SocketControl;
class TrafficCounters;

// "Send File...": a file's bytes, unchanged, on the path one press of "Send Data" would take
// (the listener's connected peer, a TCP client or a UDP client). Event-driven throughout: TCP
// keeps at most WriteBound bytes waiting in the socket and refills it as the system takes them,
// so memory does not grow with the file; UDP sends one datagram per block, paced so a receiver
// on this machine keeps up. A pipe or a /proc file goes to its end (FileSource); a TCP peer that
// takes nothing for the stall limit ends the send as failed.
class FileSend final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileSend)

public:
    static constexpr int DefaultBlock = 1472; // one Ethernet frame's UDP payload
    static constexpr int MaxBlock = 65507;    // the largest UDP payload over IPv4
    static constexpr qint64 ReadBlock = 1 << 20;
    static constexpr qint64 WriteBound = 2 << 20;
    // UDP pace: about 12 MB/s, short of what a loopback receiver's default buffer (some 90
    // datagrams of 1,472 bytes) loses when its reader is held up for a few milliseconds.
    static constexpr qint64 UdpBytesPerMs = 8 * DefaultBlock;
    static constexpr qint64 MostBytes = qint64(1) << 50; // the largest bound one may give
    static constexpr int DefaultStallMs = 10000;

    FileSend(Form &form, Sockets sockets, TrafficCounters &traffic,
             const Configuration &configuration, const Clock &clock, OperatorDialogs &dialogs,
             const ListenerState &listener, QObject *parent = nullptr);
    ~FileSend() override;

    // Starts sending; false, with nothing sent and the last-send line untouched, when the file
    // cannot be read (the operator is told why), the block size is outside 1..MaxBlock or a file
    // send is already running. A send that fails at once (no peer, a bad port) has finished
    // before this returns true. No more than `maxBytes` go, when given; a device needs it.
    bool start(const QString &path, int udpBlock = DefaultBlock,
               std::optional<qint64> maxBytes = std::nullopt);
    // Stops handing over bytes; what was handed over still goes.
    void cancel();
    // How long bytes may wait in a TCP socket with none taken before the send gives up.
    void setStallLimit(int ms) { m_stallLimitMs = ms; }
    // How long a TLS send's handshake may take once connected.
    void setHandshakeLimit(int ms) { m_handshakeLimitMs = ms; }
    bool running() const { return m_running; }
    // A client send holds "Send Data" from its start until its socket has closed.
    bool clientSend() const { return m_clientSend; }
    const SendResult &result() const { return m_result; }

signals:
    // Bytes the system has taken so far, of `total` (-1 while only the end of the file tells).
    void progress(qint64 sent, qint64 total);
    // Whole seconds the peer has taken nothing while bytes wait; 0 once it takes again.
    void stalled(int seconds);
    // The last-send line is written and a client socket closed.
    void finished(const SendResult &result);
    // What became of the file, before a client lingers.
    void lastSendChanged(const SendResult &result);
    void clientSendChanged(bool running);
    // The client socket's state number as the send goes.
    void sendSocketState(int state);
    // A send whose UDP port did not open: its line replaces the received-data record's text.
    void recordReplaced(const SendResult &result);

private:
    void startPeer();
    void startTcpClient();
    void startUdpClient();
    void waitFor(const std::function<bool()> &reached, int limitMs,
                 const std::function<void(bool)> &then);
    void streamTcp(SocketControl *target);
    void pumpTcp();
    void sendUdpBlocks();
    std::optional<QByteArray> nextBlock(qint64 size);
    bool gaveUp(qint64 taken, qint64 waiting);
    void done(SendOutcome outcome);
    void closeClient();
    void setClientSend(bool running);
    void finish();
    void showSendState();
    void showMessage(const QString &text);

    Form &m_form;
    const Clock &m_clock;
    OperatorDialogs &m_dialogs;
    Sockets m_sockets;
    TrafficCounters &m_traffic;
    const Configuration &m_configuration;
    const ListenerState &m_listener;
    FileSource m_source;
    QByteArray m_datagram; // a UDP block gathered from a stream
    qint64 m_total = 0;
    qint64 m_handed = 0; // read from the file and given to the socket
    int m_udpBlock = DefaultBlock;
    bool m_running = false;
    bool m_cancelled = false;
    bool m_client = false;
    bool m_clientSend = false;
    bool m_lingers = false;
    bool m_pumping = false;
    bool m_streaming = false;
    QPointer<SocketControl> m_target;
    std::shared_ptr<void> m_hold; // the target stays for the rest should its peer half-close
    QMetaObject::Connection m_written;
    QTimer m_tick;   // UDP pace, TCP watch over the target, waits for a connection or a lookup
    QTimer m_linger; // a client's socket stays a moment for replies, then closes
    QElapsedTimer m_paced;
    qint64 m_budget = 0;
    int m_stallLimitMs = DefaultStallMs;
    int m_handshakeLimitMs = HandshakeLimitMs;
    qint64 m_lastTaken = -1;
    int m_stalledSeconds = 0;
    QElapsedTimer m_sinceTaken;
    std::function<void()> m_onTick;
    SendResult m_result;
    QString m_failureTip;
};
