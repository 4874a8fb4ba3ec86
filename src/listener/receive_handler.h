#pragma once

#include "listener/delayed_answers.h"
#include "listener/pair_rules.h"
#include "log/pcapng_writer.h"
#include "log/receive_log.h"
#include "model/sockets.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

class Clock;
class ScriptRunner;
class Link;
struct ReceivedChunk;
class Form;
struct LastReceived;
class Listener;
class SettingsStore;
class SocketControl;
class TrafficCounters;

// How a chunk reached the program: from the listener's own socket number `index` ("On Sock:"),
// or along one way of a relayed pair.
enum class ChunkRoute { Listened, RelayedUp, RelayedDown };

// A chunk that comes within this of the one before is added to the box; a later one replaces it.
inline constexpr qint32 AppendWindowMs = 1000;

// The receive path: show, auto-respond, log, HTTP 404 and reset, record.
class ReceiveHandler {
public:
    // Relative log folders are taken from `logBaseFolder`.
    // `last` is where each chunk's time and peer are recorded.
    ReceiveHandler(Form &form, Sockets sockets, TrafficCounters &traffic,
                   const Configuration &configuration, Listener &listener, const Clock &clock,
                   LastReceived &last, QString logBaseFolder);

    void listenSock_DataArrival(int index, qint64 bytesTotal);
    // The one road of a received chunk, whatever link brought it (null once it has gone): counted,
    // recorded, answered, captured, logged, and the last-data facts. A relayed chunk is answered
    // at once on its link, without delays; true when it was, and it then goes no further.
    bool take(ReceivedChunk chunk, Link *link, ChunkRoute route, int index = 0);
    void Command1_Click();
    // The received-data record has this one writer: what else arrives or is noted comes here.
    void recordReply(const ReceivedChunk &chunk);
    void recordNote(const QString &text);
    void replaceRecord(const QString &text);
    // While set, each chunk also goes to the capture, an answered one with a comment naming
    // its answers; a write that fails is noted once and ends the capture.
    void setCapture(PcapngWriter *capture) { m_capture = capture; }
    // While set and loaded, the script sees each chunk the listener takes before the auto-respond
    // pairs do, and may keep them from it.
    void setScript(ScriptRunner *script) { m_script = script; }

    PairRules &pairRules() { return m_pairRules; }
    ReceiveLogger &logger() { return m_logger; }
    const DelayedAnswers &delayedAnswers() const { return m_delayed; }
    // Lets go of the delayed answers of a peer that left or a listener that stopped, and notes
    // the replies that left with it unsent.
    void dropGoneAnswers();
    // Counts what the system dropped before the UDP listener could read it, with one note per
    // run of drops; at each tick, since the system keeps the count.
    void countSystemDrops();
    // TCP replies handed to a socket but not yet out; past it, replies wait no more.
    static constexpr qsizetype MaxRepliesLeaving = 4096;
    qsizetype repliesLeaving() const { return qsizetype(m_leaving.size()); }

private:
    // Answers what matches; the watch strings answered.
    QStringList autoRespond(SocketControl *socket, int index, const QByteArray &data,
                            const QDateTime &now);
    // A relayed chunk's answers, counted as sent; the watch strings answered.
    QByteArray answerRelayed(const ReceivedChunk &chunk, QStringList &answered);
    void answerHttp(Link *link);
    void closePeer(int index);
    // A loaded script's onReceive took the chunk, so the pairs leave it alone.
    bool scriptHandled(Link &link, const QByteArray &data, int index);
    void noteLastData(const QDateTime &arrival, qint32 tick,
                      const std::optional<QString> &remoteIp);
    void capture(const CapturedChunk &chunk);
    // Sends one answer (to `pending.peer` when set, else as SendData does) and notes it.
    void reply(SocketControl *socket, const PendingAnswer &pending);
    void noteReply(const PendingAnswer &pending, bool sent, qint64 replyBytes,
                   const QString &why = {});
    void countReply(int rule, qint64 bytes);
    void settleReplies();

    struct Leaving {
        PendingAnswer pending; // without its bytes
        qint64 end = 0;        // the socket's BytesSent once the reply is out
        qint64 size = 0;
    };

    Form &m_form;
    LastReceived &m_last;
    Sockets m_sockets;
    TrafficCounters &m_traffic;
    Listener &m_listener;
    const Clock &m_clock;
    ReceiveLogger m_logger;
    PairRules m_pairRules;
    DelayedAnswers m_delayed;
    bool m_delayedOverBound = false; // the last delayed answer was dropped
    // The UDP listener's drop count as last seen, and whether the last tick saw it rise.
    struct SystemDrops {
        quint64 session = 0;
        qint64 seen = 0;
        bool dropping = false;
    } m_systemDrops;
    std::deque<Leaving> m_leaving;
    QPointer<SocketControl> m_watched; // whose BytesWritten settles replies
    QObject m_context;                 // ends that connection with this handler
    const Configuration &m_configuration;
    PcapngWriter *m_capture = nullptr;
    ScriptRunner *m_script = nullptr;
};
