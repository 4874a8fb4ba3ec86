#pragma once

#include "model/fault.h"

#include <QByteArray>
#include <QRandomGenerator>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// What was drawn for one piece when it arrived, by the stage that will use it: a latency, whether
// a datagram is lost, which bit is flipped. Drawn at arrival, so that the capture can say what
// will happen to the piece before it does.
struct PieceDraw {
    quint64 stage = 0;
    qint64 value = 0;
};
using PieceDraws = std::vector<PieceDraw>;

struct WayPiece {
    QByteArray data;
    PieceDraws draws;
};

// How a stage speaks to its way: the next stage's door, the clock, and what it did.
struct StageContext {
    std::function<void(WayPiece &&)> next;
    std::function<qint64()> nowUs;
    std::function<void()> dropped; // a datagram went nowhere
    // Whether `bytes` more may wait on the way (a duplicate beyond it is not made).
    std::function<bool(qint64 bytes)> room;
    // A limit was reached: the way ends here, after the piece that reached it.
    std::function<void(const QString &name, const QString &action)> cut;
    QRandomGenerator *random = nullptr;
    bool datagrams = false;
    int position = 0; // the stage's place in its way
};

// One fault of a way: pieces come in through take() in order and go on through the context's
// next(), at once or once they are due. Stages stack: each passes to the next in the way's list.
class FaultStage {
public:
    // Toxicity's stand-in draw: this datagram is left alone.
    static constexpr qint64 Spared = -1;

    // `toxicity`: the share of datagrams it acts on (a stream's stage acts on every piece).
    FaultStage(QString name, QString action, StageContext &context, double toxicity = 1.0);
    virtual ~FaultStage();
    FaultStage(const FaultStage &) = delete;
    FaultStage &operator=(const FaultStage &) = delete;

    const QString &name() const { return m_name; }
    // What the fault does, for the status line, the log and the capture.
    const QString &action() const { return m_action; }
    quint64 id() const { return m_id; }
    // Draws now what the stage will do to a piece that arrives now, and adds the draw to the
    // piece; what it will do in words ("dropped by loss"), empty when it will do nothing.
    QString drawFor(WayPiece &piece);
    virtual void take(WayPiece &&piece) = 0;
    // Passes on what is due; the time (µs) the next waiting piece is due, -1 when none waits.
    virtual qint64 release() { return -1; }
    qint64 held() const { return m_held; }
    // Whether what waits here waits only for its time, and goes on however the far side reads.
    virtual bool waitsForTime() const { return false; }
    qsizetype waiting() const { return qsizetype(m_waiting.size()); }
    // What still waits here, in order, taken out: the stage goes and they go on without it.
    virtual std::deque<WayPiece> takeWaiting();
    // How often it acted since it was last asked.
    qint64 takeActs() { return std::exchange(m_acts, 0); }
    qint64 acts() const { return m_acts; }

protected:
    struct Waiting {
        qint64 dueUs = 0;
        WayPiece piece;
    };
    // The stage's own draw for one piece, and its words; the words empty when it does nothing.
    virtual std::pair<qint64, QString> draw(const WayPiece &) { return {0, action()}; }
    // The draw made for the piece at its arrival, or a fresh one when it came before the stage
    // was set; Spared for a datagram the toxicity leaves alone.
    qint64 drawOf(const WayPiece &piece);
    // The toxicity leaves this datagram alone, drawn now.
    bool spares();
    void hold(qint64 dueUs, WayPiece &&piece);
    void pass(WayPiece &&piece) { m_context.next(std::move(piece)); }
    // Passes on what is due (or due within `earlyUs`) in order; the time the next is due, -1 none.
    qint64 releaseDue(qint64 earlyUs = 0);
    void act() { ++m_acts; }

    StageContext &m_context;
    std::deque<Waiting> m_waiting;
    qint64 m_held = 0;

private:
    QString m_name;
    QString m_action;
    double m_toxicity;
    quint64 m_id;
    qint64 m_acts = 0;
};

// The stage a fault of the relay's list becomes on a way over TCP (`datagrams` false) or UDP;
// null for a kind that does not act on the way itself (down, slow_close, reset_peer) or on this
// kind of link.
std::unique_ptr<FaultStage> makeStage(const Fault &fault, StageContext &context);

// The kinds that act on datagrams alone (datagram_stages.cpp); null for the others.
std::unique_ptr<FaultStage> makeDatagramStage(const Fault &fault, StageContext &context);

// The way's own delay range, rate and drop share as stages (named empty: counted elsewhere).
std::unique_ptr<FaultStage> makeDelayStage(int minMs, int maxMs, StageContext &context);
std::unique_ptr<FaultStage> makeRateStage(qint64 bytesPerSecond, StageContext &context);
std::unique_ptr<FaultStage> makeDropStage(int percent, StageContext &context);
// The way's own cut, counting from the bytes that `passed` already.
std::unique_ptr<FaultStage> makeLimitStage(qint64 limit, qint64 passed, StageContext &context);
