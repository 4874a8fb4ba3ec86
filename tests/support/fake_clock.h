#pragma once

#include "runtime/clock.h"

// A clock the test sets by hand.
class FakeClock final : public Clock {
public:
    qint32 tick() const override { return m_tick; }
    QDateTime now() const override { return m_now; }

    void setTick(qint32 tick) { m_tick = tick; }
    void advance(qint32 ms) {
        m_tick = qint32(quint32(m_tick) + quint32(ms));
        m_now = m_now.addMSecs(ms);
    }
    void setNow(const QDateTime &now) { m_now = now; }

private:
    qint32 m_tick = 100000;
    QDateTime m_now{QDate(2026, 12, 5), QTime(21, 34, 51)};
};
