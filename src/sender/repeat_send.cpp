#include "sender/repeat_send.h"

#include "model/form.h"
#include "sender/sender.h"

#include <QPointer>

namespace {

// How far behind its schedule a repeat may fall and still catch up; after a longer stall, such
// as a client send that connected and lingered, the schedule starts afresh.
constexpr qint64 CatchUpNs = 100'000'000;
// How soon a repeat looks again while a send of the operator's own is still waiting.
constexpr int BusyRetryMs = 10;

} // namespace

RepeatSend::RepeatSend(Form &form, Sender &sender, QObject *parent)
    : QObject(parent), m_form(form), m_sender(sender) {
    // A 1 ms repeat needs the timer's full resolution.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &RepeatSend::tick);
}

bool RepeatSend::start(int intervalMs, int count) {
    if (m_running || intervalMs < MinIntervalMs || intervalMs > MaxIntervalMs || count < 0)
        return false;
    m_running = true;
    m_count = count;
    m_sent = 0;
    m_intervalNs = qint64(intervalMs) * 1'000'000;
    m_clock.start();
    m_nextDue = 0;
    m_sender.beginRepeat();
    emit runningChanged(true);
    tick();
    return true;
}

void RepeatSend::stop() {
    if (!m_running)
        return;
    m_running = false;
    m_timer.stop();
    emit runningChanged(false);
    m_sender.endRepeat();
}

// One send per turn of the event loop, so the window and the sockets keep up even while the
// repeat catches up.
void RepeatSend::tick() {
    if (!m_running)
        return;
    if (m_sender.sending()) {
        m_timer.start(qMin(BusyRetryMs, int(m_intervalNs / 1'000'000)));
        return;
    }
    qint64 now = m_clock.nsecsElapsed();
    if (now < m_nextDue) {
        m_timer.start(int((m_nextDue - now + 999'999) / 1'000'000));
        return;
    }
    if (now - m_nextDue > CatchUpNs)
        m_nextDue = now;
    if (!sendNext())
        return;
    m_nextDue += m_intervalNs;
    now = m_clock.nsecsElapsed();
    m_timer.start(now >= m_nextDue ? 0 : int((m_nextDue - now + 999'999) / 1'000'000));
}

// False once the repeat is over, or when it (and with it the program) went during the send.
bool RepeatSend::sendNext() {
    ++m_sent;
    m_sender.setRepeatProgress(m_sent, m_count);
    const QPointer<RepeatSend> self = this;
    m_sender.btnSendData_Click();
    if (!self || !m_running)
        return false;
    emit progressed(m_sent, m_count);
    if (!self || !m_running)
        return false;
    if (!m_sender.lastSend().sent() || (m_count > 0 && m_sent >= m_count)) {
        stop();
        return false;
    }
    return true;
}
