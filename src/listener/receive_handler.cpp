#include "listener/receive_handler.h"

#include "listener/listener.h"
#include "log/receive_log.h"
#include "model/form.h"
#include "model/last_received.h"
#include "model/traffic_counters.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "net/socket_errors.h"
#include "runtime/clock.h"
#include "runtime/host_port.h"
#include "script/script_runner.h"

#include <QTimer>

#include <optional>
#include <utility>

namespace {

const QByteArray HttpNotFoundReply =
    QByteArrayLiteral("HTTP/1.0 404 Not Found\r\nServer: KVX Sendrel HTTP Server\r\n\r\n");
const QString CrLf = QStringLiteral("\r\n");

// True when the chunk should replace the box: more than the append window since the previous
// chunk, or a tick difference that does not fit in 32 bits.
bool startsAfresh(qint32 now, qint32 lastReceiveTick, qint32 appendWindowMs) {
    qint32 elapsed = 0;
    if (qSubOverflow(now, lastReceiveTick, &elapsed))
        return true;
    return elapsed > appendWindowMs;
}

// A capture's comment on a chunk the listed watches answered.
QString answeredComment(const QStringList &answered) {
    return QStringLiteral("Answered (watch: ") + answered.join(u", ") + u')';
}

// A relayed chunk's log mark: its ends, then what the named faults do to it.
QString relayedMark(const ReceivedChunk &chunk) {
    const QString ends = relayedPairText(chunk);
    return chunk.faultNote.isEmpty() ? ends : ends + QStringLiteral(" (") + chunk.faultNote + u')';
}

} // namespace

ReceiveHandler::ReceiveHandler(Form &form, Sockets sockets, TrafficCounters &traffic,
                               const Configuration &configuration, Listener &listener,
                               const Clock &clock, LastReceived &last, QString logBaseFolder)
    : m_form(form), m_last(last), m_sockets(sockets), m_traffic(traffic), m_listener(listener),
      m_clock(clock), m_logger(form, traffic, std::move(logBaseFolder)),
      m_pairRules(form, configuration),
      m_delayed([this](const PendingAnswer &pending) { reply(pending.socket, pending); }),
      m_configuration(configuration) {}

// Every matching rule answers on the socket the chunk came from, in rule order; an answer with
// a delay waits in the queue, the others go at once.
QStringList ReceiveHandler::autoRespond(SocketControl *socket, int index, const QByteArray &data,
                                        const QDateTime &now) {
    const QString peer = socket ? socket->PeerText() : QString();
    const QList<Answer> answers =
        m_pairRules.answersFor(data, now, peer, m_sockets.listenSock->element(0)->Session());
    if (socket)
        m_delayed.sendDue(socket);
    QStringList answered;
    for (const Answer &answer : answers) {
        answered.append(answer.watchShown);
        PendingAnswer pending{socket, socket ? socket->Session() : 0, index, answer, {}, 0, {}};
        if (socket && socket->Protocol() == SocketControl::TcpProtocol)
            pending.hold = socket->KeepForSending();
        if (answer.delayMs == 0 || !socket) {
            reply(socket, pending);
            continue;
        }
        if (socket->Protocol() == SocketControl::UdpProtocol) {
            pending.peer = QHostAddress(socket->RemoteHostIP());
            pending.peerPort = quint16(socket->PeerPort());
        }
        const QString watch = answer.watchShown;
        if (m_delayed.add(std::move(pending))) {
            m_delayedOverBound = false;
            continue;
        }
        m_traffic.countDroppedAnswer();
        // One note per run of drops: a flood must not turn into a flood of notes.
        if (!std::exchange(m_delayedOverBound, true))
            m_form.txtNetData.appendText(
                CrLf + QStringLiteral("Reply to ") + watch
                + QStringLiteral(" not sent: too many delayed answers wait (at most %1 or %2 MiB "
                                 "for one peer, %3 or %4 MiB in all); more are dropped")
                      .arg(DelayedAnswers::PeerCount)
                      .arg(DelayedAnswers::PeerBytes >> 20)
                      .arg(DelayedAnswers::TotalCount)
                      .arg(DelayedAnswers::TotalBytes >> 20)
                + QStringLiteral(" On Sock:") + QString::number(index) + CrLf);
    }
    return answered;
}

// A datagram has left once sent; a TCP reply once the system has taken its last byte, which
// may be long after SendData for a peer that reads slowly, or never for one that leaves first.
void ReceiveHandler::reply(SocketControl *socket, const PendingAnswer &pending) {
    const QByteArray &bytes = pending.answer.bytes;
    const bool stream =
        socket && pending.peer.isNull() && socket->Protocol() == SocketControl::TcpProtocol;
    if (stream && m_leaving.size() >= MaxRepliesLeaving) {
        noteReply(pending, false, bytes.size(), failureText(winsockError(10055)));
        return;
    }
    const bool sent =
        socket
        && (pending.peer.isNull() ? socket->SendData(bytes)
                                  : socket->SendDatagramTo(bytes, pending.peer, pending.peerPort));
    if (!sent || !stream) {
        if (sent)
            countReply(pending.answer.rule, bytes.size());
        noteReply(pending, sent, bytes.size());
        return;
    }
    if (m_watched != socket) {
        m_watched = socket;
        QObject::connect(socket, &SocketControl::BytesWritten, &m_context,
                         [this] { settleReplies(); });
    }
    Leaving leaving{pending, socket->BytesSent() + socket->BytesToWrite(), bytes.size()};
    leaving.pending.answer.bytes.clear(); // the socket holds them
    m_leaving.push_back(std::move(leaving));
    settleReplies();
}

void ReceiveHandler::countReply(int rule, qint64 bytes) {
    m_traffic.countSent(SentKind::Reply, bytes);
    m_traffic.countAnswer(rule);
}

// TCP replies, in the order they were written: noted as replied once out, as not sent once
// their connection has gone without them.
void ReceiveHandler::settleReplies() {
    while (!m_leaving.empty()) {
        const Leaving &front = m_leaving.front();
        const SocketControl *socket = front.pending.socket;
        if (socket && socket->Session() == front.pending.session) {
            if (socket->BytesSent() < front.end)
                return;
            countReply(front.pending.answer.rule, front.size);
            noteReply(front.pending, true, front.size);
        } else {
            m_traffic.countUnsent(front.size);
            noteReply(front.pending, false, front.size,
                      QStringLiteral("the connection closed before all of its %1 bytes had left")
                          .arg(front.size));
        }
        m_leaving.pop_front();
    }
}

void ReceiveHandler::dropGoneAnswers() {
    m_delayed.dropGone();
    settleReplies();
}

void ReceiveHandler::countSystemDrops() {
    const SocketControl *udp = m_sockets.listenSock->element(0);
    const qint64 drops =
        udp && udp->Protocol() == SocketControl::UdpProtocol ? udp->SystemDrops() : -1;
    m_traffic.setUdpListening(drops >= 0);
    if (drops < 0)
        return;
    if (udp->Session() != m_systemDrops.session)
        m_systemDrops = {udp->Session(), 0, false};
    const qint64 rise = drops - std::exchange(m_systemDrops.seen, drops);
    if (rise <= 0) {
        m_systemDrops.dropping = false;
        return;
    }
    m_traffic.countSystemDrops(rise);
    if (std::exchange(m_systemDrops.dropping, true))
        return;
    const QString note = QStringLiteral("The system dropped %1 datagrams for port %2 before they "
                                        "could be read: its receive buffer was full")
                             .arg(rise)
                             .arg(udp->LocalPort());
    m_form.txtNetData.appendText(CrLf + note + CrLf);
}

// The box's note of an auto-reply: "Replied to WATCH with:" and the reply, or that nothing was
// sent, and why.
void ReceiveHandler::noteReply(const PendingAnswer &pending, bool sent, qint64 replyBytes,
                               const QString &why) {
    const QString onSock = QStringLiteral(" On Sock:") + QString::number(pending.index) + CrLf;
    if (sent) {
        m_form.txtNetData.appendText(CrLf + QStringLiteral("Replied to ")
                                         + pending.answer.watchShown + QStringLiteral(" with:")
                                         + CrLf + pending.answer.replyShown + onSock,
                                     replyBytes);
        return;
    }
    const SocketControl *socket = pending.socket;
    QString reason = failureText(winsockError(10057));
    if (!why.isEmpty())
        reason = why;
    else if (socket)
        reason = socket->LastSendError().isEmpty() ? failureText(socket->LastFailure())
                                                   : socket->LastSendError();
    m_form.txtNetData.appendText(CrLf + QStringLiteral("Reply to ") + pending.answer.watchShown
                                 + QStringLiteral(" not sent: ") + reason + onSock);
}

void ReceiveHandler::listenSock_DataArrival(int index, qint64 /*bytesTotal*/) {
    SocketControl *socket = m_sockets.listenSock->element(index);
    QByteArray data = socket ? socket->GetData() : QByteArray();
    take(chunkFrom(socket, std::move(data), m_clock.now()), socket, ChunkRoute::Listened, index);
}

bool ReceiveHandler::take(ReceivedChunk chunk, Link *link, ChunkRoute route, int index) {
    Form &c = m_form;
    const bool relayed = route != ChunkRoute::Listened;
    const QByteArray data = chunk.data;
    const QDateTime now = chunk.arrival;
    // One reading of the tick serves the append rule and the tick kept for the next chunk.
    const qint32 tick = m_clock.tick();
    if (link)
        m_traffic.countReceived(data.size());
    if (relayed)
        m_traffic.countRelayed(route == ChunkRoute::RelayedUp, data.size());

    CapturedChunk captured;
    if (m_capture && link)
        captured = capturedChunk(chunk, data, m_configuration.network().listenAddress);
    const QString mark = relayed && c.chkLogData.isOn() ? relayedMark(chunk) : QString();
    std::optional<QString> remoteIp;
    if (relayed)
        remoteIp = chunk.peerAddress;
    // A relayed conversation is shown whole; what the listener gets replaces the box after a pause.
    if (!relayed && startsAfresh(tick, m_last.tick, AppendWindowMs))
        c.txtNetData.setChunk(std::move(chunk));
    else
        c.txtNetData.appendChunk(relayed ? chunk : std::move(chunk));

    QByteArray answer;
    const bool handled = !relayed && link && scriptHandled(*link, data, index);
    if (!handled && c.chkEnableAutoRespond.isOn()) {
        QStringList answered;
        if (relayed)
            answer = answerRelayed(chunk, answered);
        else
            answered = autoRespond(m_sockets.listenSock->element(index), index, data, now);
        if (m_capture && !answered.isEmpty())
            captured.comment = answeredComment(answered);
    }
    if (m_capture && !chunk.faultNote.isEmpty())
        captured.comment +=
            (captured.comment.isEmpty() ? QString() : QStringLiteral("; ")) + chunk.faultNote;
    if (m_capture && link)
        capture(captured);

    if (c.chkLogData.isOn())
        m_logger.log(data, now, mark);

    if (!relayed && c.optReceiveType[1]->isOn()
        && (data.contains(QByteArrayLiteral("GET")) || data.contains(QByteArrayLiteral("PUT"))))
        answerHttp(m_sockets.listenSock->element(index)); // the chunk's socket, unless it went

    // The listener's own peer: where the last data came from once any reset above is done.
    if (!relayed)
        if (const SocketControl *element = m_sockets.listenSock->element(index))
            remoteIp = element->RemoteHostIP();
    noteLastData(now, tick, remoteIp);
    if (answer.isEmpty() || !link)
        return false;
    link->send(answer); // back to its sender instead of going on
    return true;
}

bool ReceiveHandler::scriptHandled(Link &link, const QByteArray &data, int index) {
    return m_script && m_script->isLoaded()
           && m_script->receive(link, data, {m_sockets.listenSock->element(index), [this, index] {
                                                 closePeer(index);
                                             }});
}

QByteArray ReceiveHandler::answerRelayed(const ReceivedChunk &chunk, QStringList &answered) {
    QByteArray answer;
    const QString peer = joinHostPort(chunk.peerAddress, chunk.peerPort);
    for (const Answer &each : m_pairRules.answersFor(chunk.data, chunk.arrival, peer, 0)) {
        answer += each.bytes;
        answered.append(each.watchShown);
        countReply(each.rule, each.bytes.size());
    }
    return answer;
}

// A script's close of the listener's TCP peer: the listener starts afresh, once the script's
// call has ended, as the peer's leave calls the script again. A datagram's sender has nothing
// to close.
void ReceiveHandler::closePeer(int index) {
    const SocketControl *socket = m_sockets.listenSock->element(index);
    if (socket && socket->Protocol() == SocketControl::TcpProtocol)
        QTimer::singleShot(0, &m_context, [this] { m_listener.StartListening(); });
}

// The fixed 404, then the listener starts afresh for the next request.
void ReceiveHandler::answerHttp(Link *link) {
    if (link && link->send(HttpNotFoundReply))
        m_traffic.countSent(SentKind::Http, HttpNotFoundReply.size());
    m_listener.StartListening();
}

// Without `remoteIp` the last one stays as it was.
void ReceiveHandler::noteLastData(const QDateTime &arrival, qint32 tick,
                                  const std::optional<QString> &remoteIp) {
    m_last.dataTime = arrival; // worded by the status line at its tick, not per chunk
    m_last.tick = tick;
    if (remoteIp)
        m_last.remoteIP = *remoteIp;
}

void ReceiveHandler::Command1_Click() {
    m_form.txtNetData.setText(QString());
}

void ReceiveHandler::recordReply(const ReceivedChunk &chunk) {
    m_form.txtNetData.appendChunk(chunk);
}

void ReceiveHandler::capture(const CapturedChunk &chunk) {
    if (m_capture->write(chunk))
        return;
    recordNote(CrLf + QStringLiteral("The capture was not written: ") + m_capture->error() + CrLf);
    m_capture = nullptr;
}

void ReceiveHandler::recordNote(const QString &text) {
    m_form.txtNetData.appendText(text);
}

void ReceiveHandler::replaceRecord(const QString &text) {
    m_form.txtNetData.setText(text);
}
