#include "listener/delayed_answers.h"

#include "net/socket_control.h"

#include <algorithm>

DelayedAnswers::DelayedAnswers(Send send) : m_send(std::move(send)) {
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
        sendDueFor(nullptr);
        arm();
    });
}

void DelayedAnswers::add(PendingAnswer pending) {
    const qint64 due = m_clock.elapsed() + pending.answer.delayMs;
    // After every entry due at the same time: equal delays keep the chunks' order.
    const auto at =
        std::upper_bound(m_entries.begin(), m_entries.end(), due,
                         [](qint64 time, const Entry &entry) { return time < entry.due; });
    m_entries.insert(at, Entry{due, std::move(pending)});
    arm();
}

void DelayedAnswers::sendDue(const SocketControl *socket) {
    sendDueFor(socket);
    arm();
}

void DelayedAnswers::sendDueFor(const SocketControl *only) {
    const qint64 now = m_clock.elapsed();
    for (auto it = m_entries.begin(); it != m_entries.end() && it->due <= now;) {
        if (only && it->pending.socket != only) {
            ++it;
            continue;
        }
        const PendingAnswer pending = std::move(it->pending);
        it = m_entries.erase(it);
        if (pending.socket && pending.socket->session() == pending.session) {
            m_send(pending);
            // Sending may have run the event loop's handlers, which can add entries.
            it = m_entries.begin();
        }
    }
}

void DelayedAnswers::arm() {
    if (m_entries.empty()) {
        m_timer.stop();
        return;
    }
    m_timer.start(int(std::max<qint64>(0, m_entries.front().due - m_clock.elapsed())));
}
