#pragma once

#include <QObject>

// What one relay holds at once, whatever the number of pairs and mappings: what its links keep
// waiting and what its TCP sides have still to write. A datagram that does not fit is dropped by
// its link; a stream's bytes are always taken (TCP bytes are never dropped), and every pair stops
// reading while the budget is full.
class RelayBudget final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RelayBudget)

public:
    // As much as the delayed answers may hold in all: far under the service unit's MemoryMax even
    // beside everything else the program keeps.
    static constexpr qint64 TotalBytes = 32 << 20;

    explicit RelayBudget(qint64 total = TotalBytes, QObject *parent = nullptr)
        : QObject(parent), m_total(total) {}

    qint64 total() const { return m_total; }
    qint64 used() const { return m_used; }
    // The most held at once so far.
    qint64 peak() const { return m_peak; }
    bool full() const { return m_used >= m_total; }

    // False, taking nothing, when `bytes` would pass the total.
    bool tryTake(qint64 bytes);
    void take(qint64 bytes);
    void give(qint64 bytes);
    // Takes or gives back the difference from what `drawn` says was drawn before to `now`.
    void redraw(qint64 &drawn, qint64 now);

signals:
    // The first refusal since the budget last had room: one note for a run of them.
    void firstRefused();
    // Half the total is free again after the budget was full or refused something.
    void roomAgain();

private:
    const qint64 m_total;
    qint64 m_used = 0;
    qint64 m_peak = 0;
    bool m_pressed = false;  // full or refusing since it last had room
    bool m_refusing = false; // refused since then
};
