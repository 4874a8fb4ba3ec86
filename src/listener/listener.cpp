#include "listener/listener.h"

#include "model/form.h"
#include "net/posix_descriptors.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "net/socket_errors.h"
#include "runtime/clock.h"
#include "runtime/leading_number.h"
#include "runtime/wait_cycle.h"

#include <cmath>

namespace {

const QString StartErrorText =
    QStringLiteral("Error while attempting connection.\r\nPort may already be in use");

// The port box's number as a socket port; false for anything outside 0-65535.
bool portFromBox(const Control &box, int &port) {
    const double value = std::round(leadingNumber(box.Text()));
    if (!(value >= 0 && value <= 65535))
        return false;
    port = int(value);
    return true;
}

// "192.168.1.20:51234", "[2001:db8::7]:51234"; empty for no address.
QString peerText(const QHostAddress &address, quint16 port) {
    if (address.isNull())
        return {};
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? u'[' + address.toString() + u']'
                             : address.toString();
    return host + u':' + QString::number(port);
}

} // namespace

Listener::Listener(Form &form, const Clock &clock, std::function<void()> saveSettings)
    : m_form(form), m_clock(clock), m_saveSettings(std::move(saveSettings)) {}

void Listener::StartListening() {
    Form &c = m_form;
    SocketControl *listener = c.listenSock->element(0);

    if (listener->State() != SocketControl::Closed)
        StopListening();

    // The options go on before every Listen or Bind; while none is set, the status line has no
    // suffix and a failed start reads StartErrorText.
    const NetworkOptions &o = c.networkOptions;
    const QString suffix = networkStatusSuffix(o);
    QString startError = StartErrorText;
    listener->setLocalAddress(o.listenAddress);
    const bool interfaceKnown = listener->setMulticastInterface(o.multicastInterface);
    listener->setAllowBroadcast(o.allowBroadcast);
    listener->setMulticastTtl(o.multicastTtl);
    if (!interfaceKnown) {
        const QString why = checkInterfaceName(o.multicastInterface);
        if (!why.isEmpty())
            startError = why;
    }

    // A stored address that is none must not widen to every address.
    const QString addressProblem = listenAddressProblem(o);
    if (!addressProblem.isEmpty())
        startError = addressProblem;

    bool started = false;
    int port = 0;
    const bool portUsable = interfaceKnown && addressProblem.isEmpty()
                            && portFromBox(c.txtListenPort, port) && listener->setLocalPort(port);
    if (c.optTCP[0]->isOn()) {
        listener->setProtocol(SocketControl::TcpProtocol);
        if (portUsable)
            listener->Listen();
        if (listener->State() == SocketControl::Listening) {
            c.lblStatus[0]->setText(QStringLiteral("Waiting for TCP data on port ")
                                    + QString::number(listener->LocalPort()) + suffix);
            started = true;
        }
    } else {
        listener->setProtocol(SocketControl::UdpProtocol);
        if (portUsable)
            listener->Bind();
        QString why;
        if (listener->State() == SocketControl::Open && !o.multicastGroups.isEmpty()
            && !listener->JoinGroups(o.multicastGroups, &why)) {
            startError = why;
        } else if (listener->State() == SocketControl::Open) {
            c.lblStatus[0]->setText(QStringLiteral("Waiting for UDP data on port ")
                                    + QString::number(listener->LocalPort()) + suffix);
            started = true;
            c.traffic.connectedAt(m_clock.now());
        }
    }
    // With an option set the system's reason says more than a port in use would.
    const WinsockError failure = listener->LastFailure();
    if (!started && startError == StartErrorText && !suffix.isEmpty()
        && !failure.description.isEmpty())
        startError =
            QStringLiteral("Error while attempting connection.\r\n") + failureText(failure);

    if (!started) {
        StopListening();
        showError(startError);
        showListeningLook(false);
        c.btnSendData.setEnabled(true);
        c.lblSendIP.show();
        c.txtSendIP.show();
    } else {
        showListeningLook(true);
        if (c.optTCP[0]->isOn()) {
            c.lblSendIP.setText(NoPeerSendCaption);
            c.btnSendData.setEnabled(false);
            c.lblSendIP.show();
            c.txtSendIP.hide();
        } else {
            c.lblSendIP.setText(QStringLiteral("UDP Mode Send IP Address:"));
            c.btnSendData.setEnabled(true);
            c.lblSendIP.show();
            c.txtSendIP.show();
        }
    }

    if (m_saveSettings)
        m_saveSettings();
}

void Listener::StopListening() {
    Form &c = m_form;

    const int count = c.listenSock->Count();
    for (int index = count - 1; index >= 1; --index) {
        if (SocketControl *element = c.listenSock->element(index))
            element->Close();
        c.listenSock->Unload(index);
    }
    c.listenSock->element(0)->Close();
    m_connectedPeer.clear();
    c.traffic.disconnected();

    c.lblStatus[0]->setText(QStringLiteral("Connection Closed"));
    c.btnConnect.setEnabled(true);
    showListeningLook(false);
    m_form.state.LastRemoteIP = QStringLiteral("None");
    c.btnSendData.setEnabled(true);
    c.lblSendIP.setText(QStringLiteral("Client Mode Send IP Address:"));
    c.lblSendIP.show();
    c.txtSendIP.show();

    if (m_saveSettings)
        m_saveSettings();
}

// Start or Stop, and whether the choices the listener was opened with can be changed.
void Listener::showListeningLook(bool listening) {
    Form &c = m_form;
    c.btnConnect.setVisible(!listening);
    c.btnDisconnect.setVisible(listening);
    c.txtListenPort.setLocked(listening);
    c.txtListenPort.setForeColour(listening ? ForeColour::GrayText : ForeColour::WindowText);
    for (Control *option : c.optTCP)
        option->setEnabled(!listening);
    for (Control *option : c.optReceiveType)
        option->setEnabled(!listening);
}

void Listener::showError(const QString &text) {
    m_form.lblStatus[0]->setText(text);
    m_showsError = true;
}

void Listener::btnConnect_Click() {
    m_showsError = false;
    SocketControl *sendSock = m_form.sendSock;
    if (sendSock->State() != SocketControl::Closed) {
        sendSock->Close();
        runWaitCycles(60, [sendSock] { return sendSock->State() == SocketControl::Closed; });
    }
    StartListening();
}

void Listener::btnDisconnect_Click() {
    m_showsError = false;
    StopListening();
}

void Listener::Form_Unload() {
    StopListening();
}

void Listener::txtListenPort_Change() {
    Control &box = m_form.txtListenPort;
    const QString normal = normalisedPortText(box.Text());
    if (normal != box.Text()) // the window keeps the caret where it can
        box.setText(normal);
}

// A request the slot does not take is closed once this returns; it is told, with its peer.
void Listener::listenSock_ConnectionRequest(int /*index*/, qintptr requestID) {
    SocketArray *sockets = m_form.listenSock;
    sockets->Load(1); // fails harmlessly when the slot already exists
    SocketControl *slot = sockets->element(1);
    const auto [address, port] = connectionPeer(requestID);
    const QString peer = peerText(address, port);
    if (slot && slot->Accept(requestID)) { // refused unless the slot is closed
        m_connectedPeer = peer;
        m_form.traffic.connectedAt(m_clock.now());
        emit m_form.connectionAccepted(peer);
        return;
    }
    if (peer.isEmpty()) // gone before it could be looked at
        return;
    const bool busy = slot && slot->State() != SocketControl::Closed;
    emit m_form.connectionRefused(peer, busy ? m_connectedPeer : QString());
}

void Listener::listenSock_Error(int index, int number, const QString &description,
                                const QString & /*source*/) {
    m_form.state.LastListenError = QString::number(number) + QStringLiteral(" - ") + description;
    const QString text =
        QStringLiteral("Connection closed because of error:\r\n") + m_form.state.LastListenError;
    // A peer that does not read loses only its own connection; the status monitor reopens the
    // listener as after a peer that closed.
    SocketControl *slot = index == 1 ? m_form.listenSock->element(1) : nullptr;
    if (slot && number == 10055) {
        slot->Close();
        m_form.lblStatus[0]->setText(text);
        // The status line shows it for one tick only: the box and the counters keep it.
        m_form.traffic.countDroppedPeer();
        m_form.txtNetData.appendText(QStringLiteral("\r\nClosed the connection to ")
                                     + m_connectedPeer + QStringLiteral(" because of error: ")
                                     + m_form.state.LastListenError + QStringLiteral(" On Sock:")
                                     + QString::number(index) + QStringLiteral("\r\n"));
        return;
    }
    StopListening();
    showError(text);
}
