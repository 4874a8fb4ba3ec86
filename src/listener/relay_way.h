#pragma once

#include "model/relay_options.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

class RelayBudget;

// One direction of a relayed pair: what comes in goes on in order, at once while no fault is
// set, else after its delay and within the byte rate; "cut after" ends the way at its count, and
// the drop rate loses datagrams. What waits here is drawn from the relay's budget; a stream's
// caller bounds it further (held()).
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

    // Takes effect for what comes next; what waits keeps its time.
    void setFaults(const LinkFaults &faults);
    // False when the piece goes nowhere: dropped (by the drop rate or the bound), or past the cut.
    bool push(const QByteArray &data);
    qint64 held() const { return m_held; }
    bool isCut() const { return m_cut; }
    // Bytes passed on so far.
    qint64 passed() const { return m_passed; }

signals:
    // Something that waited went on (not raised while push runs).
    void released();
    // The cut count was reached; nothing passes any more.
    void cutReached();

private:
    struct Piece {
        qint64 due = 0;
        QByteArray data;
    };
    void release(bool announce);
    void deliver(const QByteArray &data);
    qint64 cost() const { return m_held + PieceOverhead * qint64(m_waiting.size()); }
    // Draws or gives back what the waiting pieces cost now.
    void settle();

    const bool m_datagrams;
    Deliver m_deliver;
    std::shared_ptr<RelayBudget> m_budget;
    qint64 m_drawn = 0; // from the budget
    LinkFaults m_faults;
    QRandomGenerator m_random;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::deque<Piece> m_waiting;
    qint64 m_held = 0;
    qint64 m_lastDue = 0;
    double m_allowance = 0; // bytes the rate allows now
    qint64 m_allowanceAt = 0;
    qint64 m_passed = 0;
    bool m_cut = false;
};
