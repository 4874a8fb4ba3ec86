#pragma once

#include "model/control.h"
#include "model/pair_count.h"
#include "model/program_state.h"
#include "model/received_data.h"
#include "model/traffic_counters.h"
#include "net/network_options.h"
#include "respond/response_rule.h"

#include <QObject>
#include <QTimer>

#include <array>

class SocketArray;
class SocketControl;

// The send target's caption while the TCP listener has no peer; the listener and the sender
// both write it.
inline const QString NoPeerSendCaption =
    QStringLiteral("TCP Server Mode Send IP Address: Unavailable, no current connection");

// What a pair adds to its watch and response strings; the defaults make a plain pair: the whole
// chunk equal to the watch, the response as text with a line end, no delay.
struct PairOptions {
    MatchMode mode = MatchMode::Exact;
    bool responseHex = false;
    bool lineEnd = true;
    int delayMs = 0;

    bool operator==(const PairOptions &) const = default;
};

// The heights of the two layouts (the one at start, and the full one that ~ shows), in the units
// the form is drawn in; only the window knows how many of them make a pixel.
struct LayoutHeights {
    int form;         // frmMain's client area
    int receivedData; // txtNetData
};
inline constexpr LayoutHeights CompactLayout{7680, 5520};
inline constexpr LayoutHeights FullLayout{12525, 3420};

// The window's state without the window: every control by its name with the values the
// handlers read and write, the two timers, the two socket controls and the five program-wide
// values. The window shows it; the command line drives it as an operator would.
//
// Controls that more than one class writes:
//   lblStatus(0)    Listener (start, stop, errors), StatusMonitor (idle and error texts)
//   lblStatus(1)    StatusMonitor only;  lblStatus(2)  Sender only (result of the last send)
//   lblSendIP, txtSendIP, btnSendData
//                   Listener (at every start and stop), Sender (send state at every tick)
//   txtNetData      ReceiveHandler (received chunks, replies, Clear Data), Sender (replies to
//                   a client send)
//   txtLogPath      the settings (load, and the final separator on save), the receive log
//                   (final separator, failure state), FolderChooser (a picked folder)
//   txtListenPort   the settings (load), Listener (its own normalisation, look)
//   optTCP, optReceiveType
//                   the settings (load), Listener (enabled only while idle)
//   txtWatchString, txtResponseString
//                   the settings (load), the operator; the receive path sets their colour and
//                   tool tip from the pair's check and options
class Form final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form)

public:
    explicit Form(QObject *parent = nullptr);
    ~Form() override;

    Control frmMain{QStringLiteral("frmMain"), this};

    Control lblListenPort{QStringLiteral("lblListenPort"), this};
    Control txtListenPort{QStringLiteral("txtListenPort"), this};
    Control lblListenTCP{QStringLiteral("lblListenTCP"), this};
    std::array<Control *, 2> optTCP{};
    Control btnConnect{QStringLiteral("btnConnect"), this};
    Control btnDisconnect{QStringLiteral("btnDisconnect"), this};
    std::array<Control *, 3> lblStatus{};
    Control Command1{QStringLiteral("Command1"), this};

    Control Label6{QStringLiteral("Label6"), this};
    std::array<Control *, 2> optReceiveType{};

    Control chkLogData{QStringLiteral("chkLogData"), this};
    Control Label2{QStringLiteral("Label2"), this};
    Control txtLogPath{QStringLiteral("txtLogPath"), this};
    Control btnLogLocation{QStringLiteral("btnLogLocation"), this};

    Control Label1{QStringLiteral("Label1"), this};
    ReceivedData txtNetData{this};

    Control Label5{QStringLiteral("Label5"), this};
    // Line breaks are held as LF, whatever the operator typed or pasted.
    Control txtSendData{QStringLiteral("txtSendData"), this};
    Control lblSendIP{QStringLiteral("lblSendIP"), this};
    Control txtSendIP{QStringLiteral("txtSendIP"), this};
    Control lblSendState{QStringLiteral("lblSendState"), this};
    Control btnClearSendData{QStringLiteral("btnClearSendData"), this};
    Control btnSendData{QStringLiteral("btnSendData"), this};

    Control chkEnableAutoRespond{QStringLiteral("chkEnableAutoRespond"), this};
    Control Label3{QStringLiteral("Label3"), this};
    Control Label4{QStringLiteral("Label4"), this};
    std::array<Control *, PairCount> txtWatchString{};
    std::array<Control *, PairCount> txtResponseString{};

    QTimer tmrMain{this};
    QTimer tmrSendState{this};
    SocketArray *listenSock = nullptr;
    SocketControl *sendSock = nullptr;

    ProgramState state;
    // Read the send text as hex pairs; a text that is not hex sends nothing.
    bool sendAsHex = false;
    // The text size of the received-data box and the send box, in percent.
    int textZoom = 100;
    // Where the listener listens and how far UDP sends reach; the listener takes them at each
    // Start, a send at each send.
    NetworkOptions networkOptions;
    // What came in and went out; the subsystems count, the views look.
    TrafficCounters traffic{this};

    // The send and auto-respond controls, which only the full layout shows.
    QList<Control *> sendAndRespondControls();

    const PairOptions &pairOptions(int pair) const { return m_pairOptions.at(std::size_t(pair)); }
    // Announces pairOptionsChanged(pair) when the options differ.
    void setPairOptions(int pair, const PairOptions &options);
    // Rules after the seven pairs (the command line's rules file); not stored.
    const QList<ResponseRule> &extraRules() const { return m_extraRules; }
    void setExtraRules(const QList<ResponseRule> &rules);

signals:
    // A peer that connected while another was connected was closed at once. Each peer as
    // "address:port", an IPv4 one dotted as the status line shows it, an IPv6 one in brackets;
    // `connectedPeer` is empty when the request was refused for another reason.
    void connectionRefused(const QString &refusedPeer, const QString &connectedPeer);
    // A peer was taken up into the connection slot; told at once, as a peer that leaves within
    // a tick of the status monitor is never shown on the status lines.
    void connectionAccepted(const QString &peer);
    void pairOptionsChanged(int pair);
    void extraRulesChanged();

private:
    std::array<PairOptions, PairCount> m_pairOptions{};
    QList<ResponseRule> m_extraRules;
};
