#include "listener/listener.h"

#include "model/form.h"
#include "model/last_received.h"
#include "model/traffic_counters.h"
#include "net/certificate_files.h"
#include "net/posix_descriptors.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "net/socket_errors.h"
#include "net/tls_context.h"
#include "runtime/clock.h"
#include "runtime/leading_number.h"
#include "runtime/wait_cycle.h"

#include <utility>

namespace {

using Kind = ListenerReason::Kind;

// "192.168.1.20:51234", "[2001:db8::7]:51234"; empty for no address.
QString peerText(const QHostAddress &address, quint16 port) {
    if (address.isNull())
        return {};
    return SocketControl::DisplayEnd(address, port);
}

} // namespace

Listener::Listener(Form &form, Sockets sockets, TrafficCounters &traffic,
                   const Configuration &configuration, const Clock &clock, LastReceived &last,
                   std::function<void()> saveSettings)
    : m_form(form), m_last(last), m_sockets(sockets), m_traffic(traffic),
      m_configuration(configuration), m_clock(clock), m_saveSettings(std::move(saveSettings)) {}

void Listener::StartListening() {
    SocketControl *listener = m_sockets.listenSock->element(0);
    // A restart closes without telling Idle: the change told is what the Start leaves.
    if (listener->State() != SocketControl::Closed)
        closeSockets();
    const bool nested = std::exchange(m_starting, true);

    const NetworkOptions network = m_configuration.network();
    bool usable = false;
    ListenerReason startError = applyOptions(listener, usable);
    const bool tcp = m_form.optTCP[0]->isOn();
    if (const QString tlsProblem = loadTls(); !tlsProblem.isEmpty()) {
        usable = false;
        startError = {Kind::TlsUnusable, {}, tlsProblem};
    }
    if (open(listener, tcp, usable, startError)) {
        if (!tcp)
            m_traffic.connectedAt(m_clock.now());
        ListenerState started{ListenerPhase::Listening, tcp, listener->LocalPort(), network};
        started.secure = m_tls != nullptr;
        const int granted = tcp ? 0 : listener->GrantedReceiveBuffer() / 1024;
        if (granted < network.udpReceiveBufferKiB)
            started.grantedReceiveBufferKiB = granted;
        setState(started, m_state.starts + 1);
    } else {
        // With an option set the system's reason says more than a port in use would.
        const WinsockError failure = listener->LastFailure();
        const bool optionsSet = network != NetworkOptions() || m_tls;
        if (startError.kind == Kind::PortUnavailable && optionsSet
            && !failure.description.isEmpty())
            startError = {Kind::SystemRefused, failure};
        closeSockets();
        setState(withoutPeer(ListenerPhase::Failed, startError), m_state.starts + 1);
    }
    m_starting = nested;
    save();
}

// The options go on before every Listen or Bind. Answers why a failed start failed: while no
// option is set, the port, else what is wrong with them; `usable` says whether the socket may
// be opened at all.
ListenerReason Listener::applyOptions(SocketControl *listener, bool &usable) {
    const NetworkOptions &o = m_configuration.network();
    ListenerReason startError{Kind::PortUnavailable};
    listener->setLocalAddress(o.listenAddress);
    const bool interfaceKnown = listener->setMulticastInterface(o.multicastInterface);
    listener->setAllowBroadcast(o.allowBroadcast);
    listener->setMulticastTtl(o.multicastTtl);
    listener->setReceiveBuffer(o.udpReceiveBufferKiB * 1024);
    if (!interfaceKnown) {
        const QString why = checkInterfaceName(o.multicastInterface);
        if (!why.isEmpty())
            startError = {Kind::OptionsRefused, {}, why};
    }
    // A stored address that is none must not widen to every address.
    const QString addressProblem = listenAddressProblem(o);
    if (!addressProblem.isEmpty())
        startError = {Kind::OptionsRefused, {}, addressProblem};
    const std::optional<int> port = listenPortNumber(m_form);
    usable = interfaceKnown && addressProblem.isEmpty() && port && listener->setLocalPort(*port);
    return startError;
}

// A secure listener (DTLS over UDP) reads its certificate and key at each Start, so that a file
// that cannot be read or a key that does not belong to the certificate is told before anything
// listens; the last context is kept while its files and options are unchanged.
QString Listener::loadTls() {
    const std::shared_ptr<const TlsContext> previous = std::exchange(m_tls, nullptr);
    if (!m_configuration.tls().enabled)
        return {};
    TlsOptions options = m_configuration.tls();
    if (options.keyPassphrase.isEmpty() && keyNeedsPassphrase(options.keyFile)) {
        QByteArray &known = m_passphrases[options.keyFile];
        if (known.isEmpty() && m_askPassphrase)
            known = m_askPassphrase(options.keyFile);
        options.keyPassphrase = known;
    }
    QString problem;
    m_tls = TlsContext::load(options, TlsContext::Role::Server, problem, previous);
    if (!m_tls)
        m_passphrases.remove(options.keyFile); // a wrong one is asked for again
    return problem;
}

// Listens (TCP), or binds and joins the multicast groups (UDP); a group that cannot be joined
// says why in `startError`.
bool Listener::open(SocketControl *listener, bool tcp, bool usable, ListenerReason &startError) {
    if (tcp) {
        listener->setProtocol(SocketControl::TcpProtocol);
        if (usable)
            listener->Listen();
        return listener->State() == SocketControl::Listening;
    }
    listener->setProtocol(SocketControl::UdpProtocol);
    listener->setTls(m_tls);
    if (usable)
        listener->Bind();
    if (listener->State() != SocketControl::Open)
        return false;
    const QList<QHostAddress> &groups = m_configuration.network().multicastGroups;
    QString why;
    if (!groups.isEmpty() && !listener->JoinGroups(groups, &why)) {
        startError = {Kind::OptionsRefused, {}, why};
        return false;
    }
    return true;
}

void Listener::closeSockets() {
    const int count = m_sockets.listenSock->Count();
    for (int index = count - 1; index >= 1; --index) {
        if (SocketControl *element = m_sockets.listenSock->element(index))
            element->Close();
        m_sockets.listenSock->Unload(index);
    }
    m_sockets.listenSock->element(0)->Close();
    m_traffic.disconnected();

    m_last.remoteIP = QStringLiteral("None");
}

// A Start saves once, after whatever its announcement set off, so a failure inside it does not.
void Listener::save() {
    if (!m_starting && m_saveSettings)
        m_saveSettings();
}

void Listener::StopListening() {
    closeSockets();
    setState(withoutPeer(ListenerPhase::Idle, {}));
    save();
}

void Listener::fail(const ListenerReason &reason) {
    closeSockets();
    setState(withoutPeer(ListenerPhase::Failed, reason));
    save();
}

void Listener::stopShowing() {
    closeSockets();
    setState(withoutPeer(ListenerPhase::Idle, {Kind::MonitorStopped}));
    save();
}

// The state with the last Start's protocol, port and options kept, and no peer.
ListenerState Listener::withoutPeer(ListenerPhase phase, const ListenerReason &reason) const {
    ListenerState next{phase, m_state.tcp, m_state.port, m_state.network, m_state.secure};
    next.reason = reason;
    next.grantedReceiveBufferKiB = m_state.grantedReceiveBufferKiB;
    return next;
}

void Listener::setState(const ListenerState &state, int starts) {
    ListenerState next = state;
    next.starts = starts < 0 ? m_state.starts : starts;
    next.relay = next.open() ? m_relay : RelayOptions();
    next.pairsOpen = next.open() ? m_pairsOpen : 0;
    if (next == m_state)
        return;
    m_state = next;
    emit stateChanged(m_state);
}

void Listener::setRelay(const RelayOptions &options, int pairsOpen) {
    m_relay = options;
    m_pairsOpen = pairsOpen;
    setState(m_state);
}

void Listener::btnConnect_Click() {
    SocketControl *sendSock = m_sockets.sendSock;
    if (sendSock->State() != SocketControl::Closed) {
        sendSock->Close();
        runWaitCycles(60, [sendSock] { return sendSock->State() == SocketControl::Closed; });
    }
    StartListening();
}

void Listener::btnDisconnect_Click() {
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
    SocketArray *sockets = m_sockets.listenSock;
    sockets->Load(1); // fails harmlessly when the slot already exists
    SocketControl *slot = sockets->element(1);
    const auto [address, port] = connectionPeer(requestID);
    const QString peer = peerText(address, port);
    if (slot && slot->State() == SocketControl::Closed)
        slot->setTls(m_tls);
    if (slot && slot->Accept(requestID)) { // refused unless the slot is closed
        m_traffic.connectedAt(m_clock.now());
        ListenerState connected = m_state;
        connected.phase = ListenerPhase::PeerConnected;
        connected.peer = peer;
        connected.reason = {};
        connected.security.clear();
        setState(connected);
        emit connectionAccepted(peer);
        return;
    }
    if (peer.isEmpty()) // gone before it could be looked at
        return;
    const bool busy = slot && slot->State() != SocketControl::Closed;
    m_traffic.countRefused(peer, busy ? m_state.peer : QString());
    emit connectionRefused(peer, busy ? m_state.peer : QString());
}

void Listener::listenSock_Error(int index, int number, const QString &description,
                                const QString & /*source*/) {
    const ListenerReason reason{Kind::SocketError, {number, description}};
    m_lastError = failureText(reason.error);
    // A peer that does not read loses only its own connection; the status monitor reopens the
    // listener as after a peer that closed.
    SocketControl *slot = index == 1 ? m_sockets.listenSock->element(1) : nullptr;
    if (slot && !slot->SecureFailure().isEmpty()) {
        dropFailedHandshake(slot);
        return;
    }
    if (slot && number == 10055) {
        slot->Close();
        // The status line shows it for one tick only: the box and the counters keep it.
        m_traffic.countDroppedPeer();
        emit recordNote(QStringLiteral("\r\nClosed the connection to ") + m_state.peer
                        + QStringLiteral(" because of error: ") + m_lastError
                        + QStringLiteral(" On Sock:") + QString::number(index)
                        + QStringLiteral("\r\n"));
        setState(withoutPeer(ListenerPhase::Listening, reason));
        return;
    }
    fail(reason);
}

// A peer whose handshake failed loses its connection; the listener goes on listening, and the
// reason stays in the received-data box and on the status line until the next peer. One that
// took longer than the limit is counted as dropped, as a peer past any other bound is.
void Listener::dropFailedHandshake(SocketControl *slot) {
    const QString why = slot->SecureFailure();
    if (slot->SecureTimedOut())
        m_traffic.countDroppedPeer();
    slot->Close();
    emit recordNote(QStringLiteral("\r\n") + why + QStringLiteral("\r\n"));
    setState(withoutPeer(ListenerPhase::Listening, {Kind::SecureProblem, {}, why}));
}

void Listener::listenSock_Secured(int index) {
    const bool udp = index == 0 && m_state.open() && !m_state.tcp;
    const SocketControl *slot = index == 1 || udp ? m_sockets.listenSock->element(index) : nullptr;
    if (!slot || (!udp && m_state.phase != ListenerPhase::PeerConnected))
        return;
    ListenerState state = m_state;
    state.security = slot->SecuritySummary();
    if (udp) {
        state.peer = slot->PeerText();
        state.reason = {};
    }
    setState(state);
}

// The DTLS listener goes on listening; what it dropped stays on the status line until a peer
// is secured.
void Listener::listenSock_SecureNote(int index, const QString &text, bool peerDropped) {
    if (index != 0 || !m_state.open())
        return;
    if (peerDropped)
        m_traffic.countDroppedPeer();
    if (text.isEmpty())
        return;
    emit recordNote(QStringLiteral("\r\n") + text + QStringLiteral("\r\n"));
    ListenerState state = m_state;
    state.reason = {Kind::SecureProblem, {}, text};
    state.security.clear();
    setState(state);
}
