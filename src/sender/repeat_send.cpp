#include "sender/repeat_send.h"

#include "model/form.h"
#include "sender/sender.h"

#include <QPointer>

RepeatSend::RepeatSend(Form &form, Sender &sender, QObject *parent)
    : QObject(parent), m_form(form), m_sender(sender) {
    // A 1 ms repeat needs the timer's full resolution.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &RepeatSend::tick);
}

bool RepeatSend::start(int intervalMs, int count) {
    if (m_running || intervalMs < MinIntervalMs || intervalMs > MaxIntervalMs || count < 0)
        return false;
    m_running = true;
    m_due = false;
    m_count = count;
    m_sent = 0;
    m_caption = m_form.btnSendData.Text();
    m_form.btnSendData.setCaption(QStringLiteral("Stop Repeat"));
    m_sender.beginRepeat();
    m_timer.start(intervalMs);
    emit runningChanged(true);
    tick();
    return true;
}

void RepeatSend::stop() {
    if (!m_running)
        return;
    m_running = false;
    m_timer.stop();
    m_form.btnSendData.setCaption(m_caption);
    emit runningChanged(false);
    m_sender.endRepeat();
}

// The timer also fires inside a send's own waits; that send then finishes first and the next
// follows at once.
void RepeatSend::tick() {
    if (m_sender.sending()) {
        m_due = true;
        return;
    }
    do {
        m_due = false;
        if (!sendNext())
            return;
    } while (m_due && m_running);
}

// False once the repeat is over, or when it (and with it the program) went during the send.
bool RepeatSend::sendNext() {
    ++m_sent;
    m_sender.setRepeatNote(m_count > 0 ? QStringLiteral(" (%1 of %2)").arg(m_sent).arg(m_count)
                                       : QStringLiteral(" (%1)").arg(m_sent));
    const QPointer<RepeatSend> self = this;
    m_sender.btnSendData_Click();
    if (!self || !m_running)
        return false;
    if (!m_sender.lastSend().sent || (m_count > 0 && m_sent >= m_count)) {
        stop();
        return false;
    }
    return true;
}
