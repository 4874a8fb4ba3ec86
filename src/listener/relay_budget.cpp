#include "listener/relay_budget.h"

#include <algorithm>
#include <utility>

bool RelayBudget::tryTake(qint64 bytes) {
    if (m_used + bytes > m_total) {
        m_pressed = true;
        if (!std::exchange(m_refusing, true))
            emit firstRefused();
        return false;
    }
    take(bytes);
    return true;
}

void RelayBudget::take(qint64 bytes) {
    m_used += bytes;
    m_peak = std::max(m_peak, m_used);
    if (full())
        m_pressed = true;
}

void RelayBudget::give(qint64 bytes) {
    m_used -= bytes;
    if (m_used > m_total / 2)
        return;
    m_refusing = false;
    if (std::exchange(m_pressed, false))
        emit roomAgain();
}

void RelayBudget::redraw(qint64 &drawn, qint64 now) {
    if (now > drawn)
        take(now - drawn);
    else if (now < drawn)
        give(drawn - now);
    drawn = now;
}
