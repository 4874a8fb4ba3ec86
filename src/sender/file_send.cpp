#include "sender/file_send.h"

#include "model/form.h"
#include "model/listener_state.h"
#include "model/operator_dialogs.h"
#include "model/traffic_counters.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "net/socket_errors.h"
#include "runtime/clock.h"
#include "sender/send_target.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The waits of "Send Data", as time.
constexpr int ConnectWaitMs = ConnectWaitCycles * WaitCycleMs;
constexpr int LookupWaitMs = LookupWaitCycles * WaitCycleMs;
constexpr int LingerMs = LingerCycles * WaitCycleMs;
constexpr int WatchMs = WaitCycleMs;
// A late UDP tick catches up at most this much at once.
constexpr qint64 UdpBurstBytes = 4 * FileSend::UdpBytesPerMs;

} // namespace

FileSend::FileSend(Form &form, Sockets sockets, TrafficCounters &traffic,
                   const Configuration &configuration, const Clock &clock, OperatorDialogs &dialogs,
                   const ListenerState &listener, QObject *parent)
    : QObject(parent), m_form(form), m_clock(clock), m_dialogs(dialogs), m_sockets(sockets),
      m_traffic(traffic), m_configuration(configuration), m_listener(listener) {
    m_tick.setTimerType(Qt::PreciseTimer);
    connect(&m_tick, &QTimer::timeout, this, [this] {
        // A copy, since the step may replace itself.
        if (const std::function<void()> step = m_onTick)
            step();
    });
    m_linger.setSingleShot(true);
    m_linger.setInterval(LingerMs);
    connect(&m_linger, &QTimer::timeout, this, &FileSend::closeClient);
    // A pipe that had nothing has more: the step under way goes on at once.
    connect(&m_source, &FileSource::readable, this, [this] {
        if (const std::function<void()> step = m_streaming ? m_onTick : nullptr)
            step();
    });
}

FileSend::~FileSend() {
    disconnect(m_written);
}

bool FileSend::start(const QString &path, int udpBlock, std::optional<qint64> maxBytes) {
    if (m_running || udpBlock < 1 || udpBlock > MaxBlock)
        return false;
    if (const std::optional<QString> reason = m_source.open(path, maxBytes)) {
        m_dialogs.MessageBox(
            QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), *reason));
        return false;
    }
    m_running = true;
    m_cancelled = false;
    m_streaming = false;
    m_total = m_source.total();
    m_handed = 0;
    m_datagram.clear();
    m_failureTip.clear();
    m_lastTaken = -1;
    m_stalledSeconds = 0;
    m_udpBlock = udpBlock;
    m_result = {};
    const bool tcp = sendsTcp(m_form, m_listener);
    // A client send holds "Send Data" until its socket has closed.
    m_client = !m_listener.openTcp();
    m_lingers = m_client;
    if (m_client)
        setClientSend(true);
    if (!m_client)
        startPeer();
    else if (tcp)
        startTcpClient();
    else
        startUdpClient();
    return true;
}

void FileSend::cancel() {
    // Once the last-send line is written, only the close is left.
    if (!m_running || m_cancelled || m_linger.isActive())
        return;
    m_cancelled = true;
    done(SendOutcome::Cancelled);
}

void FileSend::startPeer() {
    const int count = m_sockets.listenSock->Count();
    if (count != 1 && count != 2) {
        done(SendOutcome::SocketClosed);
        return;
    }
    SocketControl *target = peerElement(m_sockets.listenSock);
    if (!target || target->State() != SocketControl::Connected) {
        done(SendOutcome::NoActiveConnection);
        return;
    }
    streamTcp(target);
}

void FileSend::startTcpClient() {
    SocketControl *sock = m_sockets.sendSock;
    const std::optional<int> port = clientPort(m_form);
    if (!port) {
        sock->Close();
        m_lingers = false;
        done(SendOutcome::CouldntConnect);
        return;
    }
    if (sock->State() == SocketControl::Connected
        && sock->Protocol() == SocketControl::TcpProtocol) {
        streamTcp(sock);
        return;
    }
    sock->Close();
    if (!aimTcpClient(m_form, m_configuration.clientTls(), sock, *port, m_failureTip)) {
        m_lingers = false;
        done(SendOutcome::CouldntConnect);
        return;
    }
    sock->setHandshakeLimit(m_handshakeLimitMs);
    sock->Connect();
    showSendState();
    // Unlike a text send, a refused or failed connection ends the wait at once. A TLS handshake
    // under way has its own limit, after which it fails by itself.
    const QPointer<SocketControl> watched = sock;
    const auto over = [watched] {
        return !watched || watched->State() == SocketControl::Connected
               || watched->State() == SocketControl::Failed
               || watched->State() == SocketControl::Closed;
    };
    const auto then = [this, watched](bool) {
        if (watched && watched->State() == SocketControl::Connected) {
            streamTcp(watched);
            return;
        }
        if (watched)
            m_failureTip = secureFailure(watched);
        done(SendOutcome::CouldntConnect);
    };
    waitFor([over, watched] { return over() || watched->Handshaking(); }, ConnectWaitMs,
            [this, over, then, watched](bool reached) {
                if (!watched || !watched->Handshaking()) {
                    then(reached);
                    return;
                }
                waitFor(over, m_handshakeLimitMs + HandshakeSpareCycles * WaitCycleMs, then);
            });
}

void FileSend::startUdpClient() {
    SocketControl *sock = m_sockets.sendSock;
    sock->Close();
    const std::optional<int> port = clientPort(m_form);
    if (port && !aimUdpClient(m_form, m_configuration.network(), m_sockets.sendSock, *port)) {
        const NetworkOptions &o = m_configuration.network();
        m_failureTip = datagramNotSentText(o, checkInterfaceName(o.multicastInterface));
        done(SendOutcome::SendFailed);
        return;
    }
    if (port
        && !secureUdpClient(m_configuration.clientTls(), m_configuration.network(), m_sockets,
                            m_failureTip)) {
        done(SendOutcome::CouldntConnect);
        return;
    }
    if (!port || !sock->Bind()) {
        // As "Send Data" does, the note goes to the received-data box.
        m_result = {SendOutcome::CouldntOpenUdp, m_clock.now()};
        emit recordReplaced(m_result);
        finish();
        return;
    }
    const auto stream = [this] {
        m_streaming = true;
        m_budget = 0;
        m_paced.start();
        m_onTick = [this] { sendUdpBlocks(); };
        m_tick.start(1);
        sendUdpBlocks();
    };
    // Over DTLS nothing goes before the server is verified.
    const QPointer<SocketControl> watched = sock;
    const auto go = [this, watched, stream](bool) {
        if (!watched || !watched->SecureRemoteHost()) {
            stream();
            return;
        }
        waitFor([watched] { return !watched || watched->State() != SocketControl::Connecting; },
                HandshakeWaitCycles * WaitCycleMs,
                [this, watched, stream](bool) {
                    if (watched && datagramsSecured(watched)) {
                        stream();
                        return;
                    }
                    if (watched)
                        m_failureTip = secureFailure(watched);
                    done(SendOutcome::CouldntConnect);
                });
    };
    if (!sock->LookUpRemoteHost()) {
        go(true);
        return;
    }
    waitFor([watched] { return !watched || watched->State() != SocketControl::ResolvingHost; },
            LookupWaitMs, go);
}

// Polls `reached` every WatchMs up to `limitMs`, then calls `then` with whether it was reached,
// returning to the event loop in between (no nested loop).
void FileSend::waitFor(const std::function<bool()> &reached, int limitMs,
                       const std::function<void(bool)> &then) {
    QElapsedTimer waited;
    waited.start();
    m_onTick = [this, reached, limitMs, then, waited] {
        showSendState();
        const bool ok = reached();
        if (!ok && !waited.hasExpired(limitMs))
            return;
        m_tick.stop();
        m_onTick = {};
        then(ok);
    };
    m_tick.start(WatchMs);
}

void FileSend::streamTcp(SocketControl *target) {
    m_target = target;
    m_hold = target->KeepForSending();
    m_streaming = true;
    m_written = connect(target, &SocketControl::BytesWritten, this, &FileSend::pumpTcp);
    // The system taking bytes drives the send; the tick only notices a peer that went away.
    m_onTick = [this] { pumpTcp(); };
    m_tick.start(WatchMs);
    pumpTcp();
}

void FileSend::pumpTcp() {
    // SendData flushes, and the flush reports written bytes from inside this loop.
    if (m_pumping || !m_streaming)
        return;
    m_pumping = true;
    bool failed = !m_target || !m_target->CanSend();
    while (!failed && !m_source.atEnd() && m_target->BytesToWrite() < WriteBound) {
        const std::optional<QByteArray> block = nextBlock(ReadBlock);
        failed = !block || !m_target || !m_target->SendData(*block);
        if (failed || block->isEmpty())
            break;
        m_handed += block->size();
        m_traffic.countSent(SentKind::Send, block->size());
    }
    m_pumping = false;
    if (failed) {
        done(SendOutcome::SendFailed);
        return;
    }
    const qint64 waiting = m_target->BytesToWrite();
    if (gaveUp(m_handed - waiting, waiting))
        return;
    emit progress(m_handed - waiting, m_total);
    if (m_source.atEnd() && waiting == 0)
        done(SendOutcome::Sent);
}

// A peer that takes nothing while bytes wait for it ends the send once the stall limit has
// passed; the seconds it has stalled are told on the way.
bool FileSend::gaveUp(qint64 taken, qint64 waiting) {
    if (taken != m_lastTaken || waiting == 0) {
        m_lastTaken = taken;
        m_sinceTaken.start();
        if (std::exchange(m_stalledSeconds, 0) != 0)
            emit stalled(0);
        return false;
    }
    const qint64 stalledMs = m_sinceTaken.elapsed();
    if (stalledMs >= m_stallLimitMs) {
        m_failureTip = QStringLiteral("The peer took nothing for %1 s, with %2 bytes waiting")
                           .arg(stalledMs / 1000)
                           .arg(waiting);
        done(SendOutcome::SendFailed);
        return true;
    }
    if (const int seconds = int(stalledMs / 1000); seconds != m_stalledSeconds) {
        m_stalledSeconds = seconds;
        emit stalled(seconds);
    }
    return false;
}

void FileSend::sendUdpBlocks() {
    const qint64 elapsedNs = m_paced.nsecsElapsed();
    m_paced.restart();
    m_budget = qMin(m_budget + elapsedNs * UdpBytesPerMs / 1000000, UdpBurstBytes);
    while (m_budget > 0 && !m_source.atEnd()) {
        // A stream hands over what it has; a datagram waits for a whole block or the end.
        const std::optional<QByteArray> more = nextBlock(m_udpBlock - m_datagram.size());
        if (!more) {
            done(SendOutcome::SendFailed);
            return;
        }
        m_datagram += *more;
        if (m_datagram.size() < m_udpBlock && !(m_source.atEnd() && !m_datagram.isEmpty())) {
            if (more->isEmpty())
                break;
            continue;
        }
        const QByteArray block = std::exchange(m_datagram, {});
        QString why;
        if (!sendClientDatagram(m_configuration.network(), m_sockets, block, why)) {
            if (!why.isEmpty())
                m_failureTip = datagramNotSentText(m_configuration.network(), why);
            done(SendOutcome::SendFailed);
            return;
        }
        m_handed += block.size();
        m_budget -= block.size();
        m_traffic.countSent(SentKind::Send, block.size());
    }
    emit progress(m_handed, m_total);
    if (m_source.atEnd() && m_datagram.isEmpty())
        done(SendOutcome::Sent);
}

// The next block of the file (empty when a stream has nothing yet); nothing, after telling the
// operator, when it cannot be read.
std::optional<QByteArray> FileSend::nextBlock(qint64 size) {
    const std::optional<QByteArray> block = m_source.read(size);
    if (!block)
        showMessage(QStringLiteral("Cannot read %1: %2").arg(m_source.path(), m_source.error()));
    return block;
}

// The last-send line as "Send Data" writes it; a client lingers for replies, then closes.
void FileSend::done(SendOutcome outcome) {
    m_streaming = false;
    m_tick.stop();
    m_onTick = {};
    disconnect(m_written);
    m_target = nullptr;
    m_hold.reset();
    m_source.close();
    m_result = {outcome, m_clock.now()};
    m_result.bytes = m_handed;
    m_result.total = m_total;
    m_result.why = outcome == SendOutcome::Sent ? QString() : m_failureTip;
    emit lastSendChanged(m_result);
    showSendState();
    if (m_lingers)
        m_linger.start();
    else
        finish();
}

void FileSend::closeClient() {
    m_sockets.sendSock->Close();
    finish();
}

void FileSend::setClientSend(bool running) {
    m_clientSend = running;
    emit clientSendChanged(running);
}

void FileSend::finish() {
    if (m_client)
        setClientSend(false);
    showSendState();
    m_running = false;
    emit finished(m_result);
}

void FileSend::showSendState() {
    emit sendSocketState(qToUnderlying(m_sockets.sendSock->State()));
}

// From the event loop, as "Send Data" does: a modal box must not run inside a socket's signal.
void FileSend::showMessage(const QString &text) {
    QTimer::singleShot(0, this, [this, text] { m_dialogs.MessageBox(text); });
}
