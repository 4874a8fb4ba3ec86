#pragma once

#include "listener/fault_stages.h"
#include "model/relay_options.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class RelayBudget;

// One direction of a relayed pair or mapping: what comes in goes on in order, at once while no
// fault is set, else through its faults as stages: first the way's own (drop, delay, rate, cut),
// then the named ones in their order. What waits here is drawn from the relay's budget; a
// stream's caller bounds it further (held()).
class RelayWay final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RelayWay)

public:
    using Deliver = std::function<void(const QByteArray &data)>;
    // Datagrams that wait for their delay or rate past this (or past the budget) are dropped; a
    // stream's sender is held back by its pair instead.
    static constexpr qint64 DatagramBound = 4 << 20;
    // What a waiting piece costs beyond its bytes: its place in the queue and the array's own
    // allocation, so that empty or tiny datagrams are bounded too.
    static constexpr qint64 PieceOverhead = 64;
    // `datagrams`: each piece is one datagram, never split, and may be dropped.
    RelayWay(bool datagrams, Deliver deliver, std::shared_ptr<RelayBudget> budget,
             QObject *parent = nullptr);
    ~RelayWay() override;

    // Takes effect for what comes next; a fault that stays keeps what waits in it, and what
    // waits in one that goes passes on to the faults after it. `named`: the faults of this way
    // that act now, in order; over TCP each acts on this pair by its toxicity, drawn once.
    void setFaults(const LinkFaults &faults, const QList<Fault> &named = {});
    // Draws what the faults will do to a piece that arrives now; in words, as a capture's
    // comment ("lat: latency 120 ms; lossy: dropped by loss"), empty when none acts.
    QString judge(WayPiece &piece);
    // False when the piece goes nowhere at once: dropped (by the drop share or the bound), or
    // past the cut.
    bool push(WayPiece &&piece);
    bool push(const QByteArray &data);
    // What waits, each piece with its overhead: a way of many tiny pieces is held back too.
    qint64 held() const { return cost(); }
    // The bytes of held() that wait only for a latency: a link's bandwidth times its delay.
    qint64 delayedHeld() const { return m_delayed; }
    bool isCut() const { return m_cut; }
    // Bytes passed on so far.
    qint64 passed() const { return m_passed; }
    // How long a close waits before it is passed on (slow_close), 0 for at once; a wait counts as
    // the fault's act.
    int delayClose();
    // Adds how often each named fault acted since this was last asked, by name.
    void takeActs(QMap<QString, qint64> &acts);

signals:
    // Something that waited went on (not raised while push runs).
    void released();
    // The way's own cut count was reached; nothing passes any more.
    void cutReached();
    // A named fault ends the link: its limit was reached, or its timeout ran out.
    void endedBy(const QString &fault, const QString &action);
    // A named fault's reset_peer time ran out: both sides are to be reset.
    void resetBy(const QString &fault, const QString &action);
    // A datagram that was taken went nowhere later (a loss or timeout fault).
    void droppedLater();

private:
    struct Slot {
        QString key;
        std::unique_ptr<StageContext> context;
        std::unique_ptr<FaultStage> stage;
    };
    // A fault that acts on the way as a whole after a time, or on its close.
    struct Timed {
        QString key;
        QString name;
        std::unique_ptr<QTimer> timer;
        int closeDelayMs = 0;
        qint64 acts = 0;
    };
    std::vector<std::pair<QString, std::function<std::unique_ptr<FaultStage>(StageContext &)>>>
    stagesFor(const LinkFaults &faults, const QList<Fault> &named);
    void setTimed(const QList<Fault> &named);
    bool appliesHere(const Fault &fault, const QString &key);
    std::unique_ptr<StageContext> newContext();
    void enter(int index, WayPiece &&piece);
    void deliver(const QByteArray &data);
    void cutHere(const QString &name, const QString &action);
    void pump(bool announce);
    qint64 cost() const { return m_held + PieceOverhead * m_pieces; }
    qint64 nowUs() const { return m_clock.nsecsElapsed() / 1000; }
    // Draws or gives back what the waiting pieces cost now.
    void settle();

    const bool m_datagrams;
    Deliver m_deliver;
    std::shared_ptr<RelayBudget> m_budget;
    qint64 m_drawn = 0; // from the budget
    QRandomGenerator m_random;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::vector<Slot> m_slots;
    std::vector<Timed> m_timed;
    // Over TCP: whether each named fault (by its text) acts on this pair, drawn once.
    std::map<QString, bool> m_applies;
    qint64 m_held = 0;
    qint64 m_pieces = 0;
    qint64 m_delayed = 0;
    qint64 m_passed = 0;
    bool m_cut = false;
    bool m_pumping = false;
    bool m_pushing = false;
    bool m_droppedNow = false; // while pushing
};
