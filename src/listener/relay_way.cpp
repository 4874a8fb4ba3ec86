#include "listener/relay_way.h"

#include "listener/relay_budget.h"

#include <algorithm>
#include <cmath>

namespace {

// What a capped rate lets through at once after a pause: a twentieth of a second's worth, and
// never less than the datagram that waits (a stream's piece is split instead).
constexpr double BurstShare = 0.05;

} // namespace

RelayWay::RelayWay(bool datagrams, Deliver deliver, std::shared_ptr<RelayBudget> budget,
                   QObject *parent)
    : QObject(parent), m_datagrams(datagrams), m_deliver(std::move(deliver)),
      m_budget(std::move(budget)), m_random(QRandomGenerator::securelySeeded()) {
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { release(true); });
}

RelayWay::~RelayWay() {
    m_waiting.clear();
    m_held = 0;
    settle();
}

void RelayWay::settle() {
    if (m_budget)
        m_budget->redraw(m_drawn, cost());
}

void RelayWay::setFaults(const LinkFaults &faults) {
    m_faults = faults;
    if (m_faults.cutAfter > 0 && m_passed >= m_faults.cutAfter && !m_cut)
        QTimer::singleShot(0, this, [this] {
            m_cut = true;
            emit cutReached();
        });
    release(false);
}

bool RelayWay::push(const QByteArray &data) {
    if (m_cut)
        return false;
    if (m_datagrams && m_faults.dropPercent > 0
        && int(m_random.bounded(100)) < m_faults.dropPercent)
        return false;
    if (m_waiting.empty() && m_faults.delayMaxMs == 0 && m_faults.ratePerSecond == 0) {
        deliver(data);
        return true;
    }
    const qint64 pieceCost = data.size() + PieceOverhead;
    if (m_datagrams
        && (cost() + pieceCost > DatagramBound || (m_budget && !m_budget->tryTake(pieceCost))))
        return false;
    if (m_datagrams)
        m_drawn += pieceCost; // drawn just now
    const qint64 now = m_clock.elapsed();
    int delay = m_faults.delayMinMs;
    if (m_faults.delayMaxMs > m_faults.delayMinMs)
        delay += int(m_random.bounded(m_faults.delayMaxMs - m_faults.delayMinMs + 1));
    // A stream keeps its order; a later piece never overtakes an earlier one.
    m_lastDue = std::max(m_lastDue, now + delay);
    m_waiting.push_back({m_lastDue, data});
    m_held += data.size();
    settle();
    release(false);
    return true;
}

void RelayWay::deliver(const QByteArray &data) {
    if (m_cut)
        return;
    QByteArray piece = data;
    if (m_faults.cutAfter > 0 && m_passed + piece.size() >= m_faults.cutAfter) {
        piece.truncate(qsizetype(m_faults.cutAfter - m_passed));
        m_cut = true;
    }
    m_passed += piece.size();
    if (!piece.isEmpty() || !m_cut)
        m_deliver(piece);
    if (m_cut) {
        m_waiting.clear();
        m_held = 0;
        settle();
        m_timer.stop();
        QTimer::singleShot(0, this, [this] { emit cutReached(); });
    }
}

void RelayWay::release(bool announce) {
    const qint64 now = m_clock.elapsed();
    const double rate = double(m_faults.ratePerSecond);
    if (rate > 0) {
        const double smallest =
            m_datagrams && !m_waiting.empty() ? double(m_waiting.front().data.size()) : 1.0;
        const double most = std::max(rate * BurstShare, smallest);
        m_allowance = std::min(most, m_allowance + double(now - m_allowanceAt) * rate / 1000.0);
    }
    m_allowanceAt = now;
    bool moved = false;
    qint64 wait = -1;
    while (!m_waiting.empty() && !m_cut) {
        Piece &front = m_waiting.front();
        if (front.due > now) {
            wait = front.due - now;
            break;
        }
        qsizetype size = front.data.size();
        if (rate > 0) {
            const qsizetype allowed = qsizetype(std::floor(m_allowance));
            if (allowed < (m_datagrams ? size : std::min<qsizetype>(size, 1))) {
                const double need = double(m_datagrams ? size : 1) - m_allowance;
                wait = std::max<qint64>(1, qint64(std::ceil(need * 1000.0 / rate)));
                break;
            }
            size = std::min(size, allowed);
            m_allowance -= double(size);
        }
        moved = true;
        m_held -= size;
        if (size == front.data.size()) {
            const QByteArray data = std::move(front.data);
            m_waiting.pop_front();
            deliver(data);
        } else {
            const QByteArray part = front.data.left(size);
            front.data.remove(0, size);
            deliver(part);
        }
    }
    if (m_waiting.empty())
        m_lastDue = 0;
    settle();
    if (wait >= 0)
        m_timer.start(int(std::min<qint64>(wait, LinkFaults::MaxDelayMs)));
    if (moved && announce)
        emit released();
}
