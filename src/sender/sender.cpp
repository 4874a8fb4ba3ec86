#include "sender/sender.h"

#include "model/form.h"
#include "model/listener_state.h"
#include "model/operator_dialogs.h"
#include "model/traffic_counters.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "net/socket_errors.h"
#include "respond/answer_template.h"
#include "runtime/clock.h"
#include "runtime/date_time_text.h"
#include "runtime/hex_text.h"
#include "runtime/wait_cycle.h"
#include "sender/send_bytes.h"
#include "sender/send_target.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

#include <utility>

// Off unless asked for (QT_LOGGING_RULES, or the command line's --verbose).
Q_LOGGING_CATEGORY(lcSend, "sendrel.send", QtWarningMsg)

namespace {

constexpr int OpenWaitLimit = 10;

using enum SendOutcome;

} // namespace

Sender::Sender(Form &form, Sockets sockets, TrafficCounters &traffic,
               const Configuration &configuration, const Clock &clock, OperatorDialogs &dialogs,
               const ListenerState &listener)
    : m_form(form), m_sockets(sockets), m_traffic(traffic), m_configuration(configuration),
      m_clock(clock), m_dialogs(dialogs), m_listener(listener) {}

// Raised for the whole of a send, waits included. A wait that ends with the form gone has taken
// this sender with it, so the mark is lowered only while the form is still there.
class SendingMark {
public:
    SendingMark(Form &form, bool &sending) : m_form(&form), m_sending(sending) { sending = true; }
    ~SendingMark() {
        if (m_form)
            m_sending = false;
    }
    Q_DISABLE_COPY_MOVE(SendingMark)

private:
    QPointer<Form> m_form;
    bool &m_sending;
};

void Sender::btnSendData_Click() {
    const SendingMark mark(m_form, m_sending);
    m_lastSend = {};
    m_failureTip.clear();
    SocketArray *listenSock = m_sockets.listenSock;
    const SocketControl *listener = listenSock->element(0);
    qCInfo(lcSend).noquote() << QStringLiteral("listensock(0).state=")
                                    + QString::number(listener ? qToUnderlying(listener->State())
                                                               : 0)
                                    + QStringLiteral("   listensock.count=")
                                    + QString::number(listenSock->Count());

    const std::optional<QByteArray> bytes = bytesToSend();
    if (!bytes)
        return;
    const QByteArray &data = *bytes;
    if (m_listener.openTcp())
        sendToPeer(data);
    else if (sendsTcp(m_form, m_listener))
        sendTcpClient(data);
    else if (keptUdpFits())
        sendUdpAgain(data);
    else
        sendUdpClient(data);
}

void Sender::sendToPeer(const QByteArray &data) {
    const int count = m_sockets.listenSock->Count();
    if (count != 1 && count != 2) {
        setLastSend(SocketClosed);
        return;
    }
    SocketControl *target = peerElement(m_sockets.listenSock);

    if (target && target->State() == SocketControl::Connected)
        setLastSend(countSent(target->SendData(data), data) ? Sent : SendFailed);
    else
        setLastSend(NoActiveConnection);
}

// Each wait processes events, so anything may have happened underneath: the listener restarted
// (which closes sendSock) or the form went and took this object with it. After a wait that
// answers Gone nothing of ours may be touched.
Sender::WaitEnd Sender::runWait(int limit, const std::function<bool()> &reached) {
    const QPointer<Form> form = &m_form;
    const QPointer<SocketControl> sock = m_sockets.sendSock;
    const bool ended = runWaitCycles(limit, [&] {
        if (!form || !sock)
            return true;
        showSendState();
        return reached && reached();
    });
    if (!form || !sock)
        return WaitEnd::Gone;
    return ended ? WaitEnd::Reached : WaitEnd::RanOut;
}

void Sender::lingerAndClose() {
    if (runWait(LingerCycles) == WaitEnd::Gone)
        return;
    m_sockets.sendSock->Close();
    setClientSend(false);
}

void Sender::sendTcpClient(const QByteArray &data) {
    SocketControl *sock = m_sockets.sendSock;
    showSendState();
    setClientSend(true);

    const std::optional<int> port = targetPort();
    if (!port) {
        sock->Close();
        showSendState();
        setLastSend(CouldntConnect);
        setClientSend(false);
        return;
    }

    if (sock->State() != SocketControl::Connected
        || sock->Protocol() != SocketControl::TcpProtocol) {
        sock->Close();
        showSendState();
        if (!aimTcpClient(m_form, m_configuration.clientTls(), sock, *port, m_failureTip)) {
            setLastSend(CouldntConnect);
            setClientSend(false);
            return;
        }
        sock->setHandshakeLimit(m_handshakeLimitMs);
        sock->Connect();
        showSendState();
        // A failed TLS handshake will not connect later: its reason is told at once. One under
        // way has its own limit, after which it fails by itself.
        const auto connected = [sock] {
            return sock->State() == SocketControl::Connected || !secureFailure(sock).isEmpty();
        };
        const auto reached = [sock, &connected] { return connected() || sock->Handshaking(); };
        if (runWait(ConnectWaitCycles, reached) == WaitEnd::Gone)
            return;
        if (sock->Handshaking()
            && runWait(m_handshakeLimitMs / WaitCycleMs + HandshakeSpareCycles, connected)
                   == WaitEnd::Gone)
            return;
    }

    showSendState();
    if (sock->State() == SocketControl::Connected) {
        setLastSend(countSent(sock->SendData(data), data) ? Sent : SendFailed);
    } else {
        m_failureTip = secureFailure(sock);
        setLastSend(CouldntConnect);
    }

    showSendState();
    lingerAndClose();
}

void Sender::sendUdpClient(const QByteArray &data) {
    SocketControl *sock = m_sockets.sendSock;
    setClientSend(true);
    sock->Close();

    const std::optional<int> port = targetPort();
    if (!port) {
        showSendState();
        showUdpNotOpen();
        setClientSend(false);
        return;
    }

    const bool interfaceKnown =
        aimUdpClient(m_form, m_configuration.network(), m_sockets.sendSock, *port);
    if (!secureUdpClient(m_configuration.clientTls(), m_configuration.network(), m_sockets,
                         m_failureTip)) {
        setLastSend(CouldntConnect);
        setClientSend(false);
        return;
    }
    sock->Bind();
    // A name is looked up before the datagram goes, so that it is either handed to the system or
    // reported as not sent.
    const auto lookedUp = [sock] { return sock->State() != SocketControl::ResolvingHost; };
    if (sock->LookUpRemoteHost() && runWait(LookupWaitCycles, lookedUp) == WaitEnd::Gone)
        return;
    // Over DTLS nothing goes before the server is verified.
    const auto shaken = [sock] { return sock->State() != SocketControl::Connecting; };
    if (sock->SecureRemoteHost()) {
        if (runWait(HandshakeWaitCycles, shaken) == WaitEnd::Gone)
            return;
        if (!datagramsSecured(sock)) {
            m_failureTip = secureFailure(sock);
            setLastSend(CouldntConnect);
            lingerAndClose();
            return;
        }
    }
    const bool sent = sendAimedDatagram(data, interfaceKnown);

    const WaitEnd open = runWait(OpenWaitLimit, [&] {
        if (sock->State() != SocketControl::Open)
            return false;
        setLastSend(sent ? Sent : SendFailed);
        return true;
    });
    if (open == WaitEnd::Gone)
        return;
    if (open == WaitEnd::RanOut)
        showUdpNotOpen();

    if (m_repeating && sent) {
        m_keptUdp = KeptUdp{sock->Session(), m_configuration.network()};
        setClientSend(false);
        return;
    }
    lingerAndClose();
}

// One datagram where the client socket is aimed. Why one was not sent goes on the last-send
// line's tool tip: the line itself, as a box would, says that it was not.
bool Sender::sendAimedDatagram(const QByteArray &data, bool interfaceKnown) {
    QString why;
    const bool sent =
        interfaceKnown && sendClientDatagram(m_configuration.network(), m_sockets, data, why);
    if (!interfaceKnown)
        why = checkInterfaceName(m_configuration.network().multicastInterface);
    countSent(sent, data);
    if (!sent && !why.isEmpty())
        m_failureTip = datagramNotSentText(m_configuration.network(), why);
    return sent;
}

// The socket a repeat left open still goes where the form says, as the form says.
bool Sender::keptUdpFits() const {
    const SocketControl *sock = m_sockets.sendSock;
    return m_repeating && m_keptUdp && m_keptUdp->session == sock->Session()
           && sock->State() == SocketControl::Open && sock->RemoteHost() == clientHost(m_form)
           && sock->RemotePort() == targetPort() && m_keptUdp->options == m_configuration.network();
}

void Sender::sendUdpAgain(const QByteArray &data) {
    showSendState();
    setLastSend(sendAimedDatagram(data, true) ? Sent : SendFailed);
}

void Sender::beginRepeat() {
    m_repeating = true;
    m_keptUdp.reset();
}

// A send still under way lingers and closes by itself, now that the repeat is over.
void Sender::endRepeat() {
    m_repeating = false;
    setRepeatProgress(0, 0);
    const bool kept = m_keptUdp && m_keptUdp->session == m_sockets.sendSock->Session();
    m_keptUdp.reset();
    if (!kept || m_sending)
        return;
    const SendingMark mark(m_form, m_sending);
    setClientSend(true);
    lingerAndClose();
}

std::optional<int> Sender::targetPort() const {
    return clientPort(m_form);
}

bool Sender::countSent(bool sent, const QByteArray &data) {
    if (sent)
        m_traffic.countSent(SentKind::Send, data.size());
    return sent;
}

void Sender::showSendState() {
    emit sendSocketState(qToUnderlying(m_sockets.sendSock->State()));
}

void Sender::setLastSend(SendOutcome outcome) {
    const bool sent = outcome == Sent;
    m_lastSend = {outcome, m_clock.now(), m_repeatSent, m_repeatCount};
    m_lastSend.why = sent ? QString() : m_failureTip;
    emit lastSendChanged(m_lastSend);
}

void Sender::reportSendFailed() {
    setLastSend(SendFailed);
}

void Sender::showUdpNotOpen() {
    m_lastSend = {CouldntOpenUdp, m_clock.now()};
    emit recordReplaced(m_lastSend);
}

void Sender::tmrSendState_Timer() {
    showSendState();

    const SocketArray *listenSock = m_sockets.listenSock;
    const SocketControl *listener = listenSock->element(0);
    if (!listener || !m_listener.openTcp())
        return;

    const int count = listenSock->Count();
    const bool peerPresent = count > 1 || listener->State() == SocketControl::Connected;
    if (peerPresent && !m_peerReachable) {
        m_peerReachable = true;
        const SocketControl *peer = peerElement(listenSock);
        m_peerAddress = peer ? peer->RemoteHostIP() : QString();
        emit peerReachableChanged(true, m_peerAddress);
    } else if (!peerPresent && m_peerReachable) {
        m_peerReachable = false;
        m_peerAddress.clear();
        emit peerReachableChanged(false, {});
    }
}

void Sender::setClientSend(bool running) {
    if (running == m_clientSend)
        return;
    m_clientSend = running;
    emit clientSendChanged(running);
}

// A restart loses the peer as a Stop does.
void Sender::listenerChanged(const ListenerState &state) {
    const bool restarted = std::exchange(m_listenerStarts, state.starts) != state.starts;
    if ((state.open() && !restarted) || !m_peerReachable)
        return;
    m_peerReachable = false;
    m_peerAddress.clear();
    emit peerReachableChanged(false, {});
}

void Sender::sendSock_DataArrival(qint64 /*bytesTotal*/) {
    const QByteArray reply = m_sockets.sendSock->GetData();
    emit replyArrived(chunkFrom(m_sockets.sendSock, reply, m_clock.now()));
}

void Sender::sendSock_Error(int number, const QString &description, const QString &source) {
    // A failed handshake is told on the last-send line, with its reason.
    if (!secureFailure(m_sockets.sendSock).isEmpty())
        return;
    showMessage(QStringLiteral("SendSock Error #") + QString::number(number) + QStringLiteral(":")
                + description + QStringLiteral("\r\n\r\n") + QStringLiteral("Source:") + source);
}

// The send text as bytes; nothing, after telling the operator why, when it is to be read as hex
// and is not.
std::optional<QByteArray> Sender::bytesToSend() {
    if (m_computedFields) {
        QString error;
        const QString text =
            QString(m_form.txtSendData.Text()).replace(u'\n', QStringLiteral("\r\n"));
        const AnswerTemplate data = AnswerTemplate::compile(text, m_sendAsHex, &error);
        if (!error.isEmpty()) {
            showMessage(error);
            return std::nullopt;
        }
        return data.expand({}, {m_clock.now(), {}, {}}, ++m_fieldSends);
    }
    if (!m_sendAsHex)
        return sendBytes(m_form.txtSendData.Text());
    const HexText hex = bytesFromHexText(m_form.txtSendData.Text());
    if (!hex.error.isEmpty()) {
        showMessage(hex.error);
        return std::nullopt;
    }
    return hex.bytes;
}

// Shown from the event loop rather than inside the socket's own signal: a modal loop there could
// let the socket be torn down under the code that emitted it. A waiting send still does not go
// on while a box is open, since the box's loop runs inside the wait's event processing.
void Sender::showMessage(const QString &text) {
    QTimer::singleShot(0, &m_form, [&dialogs = m_dialogs, text] { dialogs.MessageBox(text); });
}

void Sender::btnClearSendData_Click() {
    m_form.txtSendData.setText(QString());
}
