#pragma once

#include "model/received_data.h"
#include "model/sockets.h"
#include "net/network_options.h"
#include "net/tls_words.h"
#include "sender/send_target.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class Clock;
class Configuration;
class Form;
struct ListenerState;
class OperatorDialogs;
class TrafficCounters;

// What became of the last press of "Send Data" or file send, and when; sent only when the bytes
// were handed to the system. `why` holds the system's reason for a failure, where it gave one.
struct SendResult {
    SendOutcome outcome = SendOutcome::None;
    QDateTime at = {};
    // A repeat's sends so far, of `repeatCount` (0: without end); 0 before any repeat.
    int repeatSent = 0;
    int repeatCount = 0;
    // Cancelled: the bytes handed to the system, of `total` (-1: a size not known beforehand).
    qint64 bytes = 0;
    qint64 total = -1;
    QString why = {};

    bool sent() const { return outcome == SendOutcome::Sent; }
};

// "Send Data" with its three paths, and the handlers around the client socket sendSock.
class Sender final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Sender)

public:
    // `listener` is the listener's state, which decides whether a press goes to its peer.
    Sender(Form &form, Sockets sockets, TrafficCounters &traffic,
           const Configuration &configuration, const Clock &clock, OperatorDialogs &dialogs,
           const ListenerState &listener);

    void btnSendData_Click();

    // Read the send text as hex pairs; a text that is not hex sends nothing.
    bool sendAsHex() const { return m_sendAsHex; }
    void setSendAsHex(bool on) { m_sendAsHex = on; }
    // Read the send text as a saved packet's data is read: tokens, checksums, lengths and %SEQ%
    // (this box's own send counter) filled in. Off unless switched on.
    bool computedFields() const { return m_computedFields; }
    void setComputedFields(bool on) { m_computedFields = on; }
    void tmrSendState_Timer();
    void sendSock_DataArrival(qint64 bytesTotal);
    void sendSock_Error(int number, const QString &description, const QString &source);
    void btnClearSendData_Click();

    const SendResult &lastSend() const { return m_lastSend; }
    // What was handed over did not all reach the peer after all (found after the send ended).
    void reportSendFailed();
    // How long a TLS client send's handshake may take once connected.
    void setHandshakeLimit(int ms) { m_handshakeLimitMs = ms; }
    // From the press of "Send Data" until its waits and linger are over.
    bool sending() const { return m_sending; }
    // Whether the TCP listener's peer can be sent to, as the send-state tick last found it.
    bool peerReachable() const { return m_peerReachable; }
    const QString &peerAddress() const { return m_peerAddress; }
    // A client send holds "Send Data" from its start until its socket has closed.
    bool clientSend() const { return m_clientSend; }
    // A closed listener has no peer to send to.
    void listenerChanged(const ListenerState &state);

    // During a repeat a successful last-send line ends with `note` (the count so far), and a UDP
    // client send leaves its socket open for the next one, which then goes at once; the linger
    // and the close come when the repeat ends.
    void beginRepeat();
    // The repeat's progress, which each sent result tells from now on.
    void setRepeatProgress(int sent, int count) {
        m_repeatSent = sent;
        m_repeatCount = count;
    }
    void endRepeat();

signals:
    // Each last-send line the press wrote, as it is written.
    void lastSendChanged(const SendResult &result);
    // `address` is the peer's address while it is reachable.
    void peerReachableChanged(bool reachable, const QString &address);
    void clientSendChanged(bool running);
    // The client socket's state number, as the send-state tick and a waiting send look at it.
    void sendSocketState(int state);
    // For the received-data record: a reply to a client send, and a send whose UDP port did not
    // open, whose line replaces the record's text.
    void replyArrived(const ReceivedChunk &chunk);
    void recordReplaced(const SendResult &result);

private:
    void sendToPeer(const QByteArray &data);
    void sendTcpClient(const QByteArray &data);
    void sendUdpClient(const QByteArray &data);
    bool sendAimedDatagram(const QByteArray &data, bool interfaceKnown);
    bool keptUdpFits() const;
    void sendUdpAgain(const QByteArray &data);

    enum class WaitEnd { Reached, RanOut, Gone };
    WaitEnd runWait(int limit, const std::function<bool()> &reached = {});
    void lingerAndClose();

    std::optional<int> targetPort() const;
    void showSendState();
    void setLastSend(SendOutcome outcome = SendOutcome::Sent);
    void showUdpNotOpen();
    void setClientSend(bool running);
    // Counts `data` as sent when it was handed to the system; answers `sent`.
    bool countSent(bool sent, const QByteArray &data);
    std::optional<QByteArray> bytesToSend();
    void showMessage(const QString &text);

    Form &m_form;
    Sockets m_sockets;
    TrafficCounters &m_traffic;
    bool m_sendAsHex = false;
    bool m_computedFields = false;
    qint64 m_fieldSends = 0;
    const Configuration &m_configuration;
    const Clock &m_clock;
    OperatorDialogs &m_dialogs;
    const ListenerState &m_listener;
    SendResult m_lastSend;
    QString m_failureTip; // this send's `why`
    bool m_sending = false;
    int m_handshakeLimitMs = HandshakeLimitMs;
    bool m_peerReachable = false;
    int m_listenerStarts = 0; // the listener's Starts as last told
    bool m_clientSend = false;
    QString m_peerAddress;
    bool m_repeating = false;
    int m_repeatSent = 0;
    int m_repeatCount = 0;
    // The UDP client socket a repeat left open, and the options it was opened with; its host
    // and port are the socket's own.
    struct KeptUdp {
        quint64 session = 0;
        NetworkOptions options;
    };
    std::optional<KeptUdp> m_keptUdp;
};
