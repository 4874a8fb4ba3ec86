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

// The reply's bytes, the two note texts (UTF-16) and the entry around them.
qint64 DelayedAnswers::sizeOf(const PendingAnswer &pending) {
    const Answer &a = pending.answer;
    return a.bytes.size() + 2 * (a.watchShown.size() + a.replyShown.size()) + qint64(sizeof(Entry));
}

// A TCP peer is its connection; a UDP peer its address and port.
QString DelayedAnswers::peerKeyOf(const PendingAnswer &pending) {
    if (!pending.peer.isNull())
        return pending.peer.toString() + u'#' + QString::number(pending.peerPort);
    return QString::number(quintptr(pending.socket.data())) + u'@'
           + QString::number(pending.session);
}

bool DelayedAnswers::add(PendingAnswer pending) {
    const qint64 size = sizeOf(pending);
    QString key = peerKeyOf(pending);
    const Usage peer = m_perPeer.value(key);
    if (peer.bytes + size > PeerBytes || peer.count + 1 > PeerCount || m_bytes + size > TotalBytes
        || pendingCount() + 1 > TotalCount)
        return false;
    const qint64 due = m_clock.elapsed() + pending.answer.delayMs;
    // After every entry due at the same time: equal delays keep the chunks' order.
    const auto at =
        std::upper_bound(m_entries.begin(), m_entries.end(), due,
                         [](qint64 time, const Entry &entry) { return time < entry.due; });
    Usage &usage = m_perPeer[key];
    usage.bytes += size;
    ++usage.count;
    m_bytes += size;
    m_entries.insert(at, Entry{due, size, std::move(key), std::move(pending)});
    arm();
    return true;
}

void DelayedAnswers::release(const Entry &entry) {
    m_bytes -= entry.size;
    const auto usage = m_perPeer.find(entry.peerKey);
    if (usage == m_perPeer.end())
        return;
    usage->bytes -= entry.size;
    if (--usage->count == 0)
        m_perPeer.erase(usage);
}

void DelayedAnswers::sendDue(const SocketControl *socket) {
    sendDueFor(socket);
    arm();
}

void DelayedAnswers::dropGone() {
    const qint64 now = m_clock.elapsed();
    // A peer that closed its side is owed only what falls due within the grace after its close.
    const auto gone = [now](const Entry &entry) {
        const PendingAnswer &p = entry.pending;
        if (!p.socket || p.socket->Session() != p.session)
            return true;
        const qint64 closedMs = p.socket->HalfClosedMs();
        return closedMs >= 0 && entry.due - now > SocketControl::HalfClosedGraceMs - closedMs;
    };
    for (const Entry &entry : m_entries)
        if (gone(entry))
            release(entry);
    std::erase_if(m_entries, gone);
    arm();
}

void DelayedAnswers::sendDueFor(const SocketControl *only) {
    const qint64 now = m_clock.elapsed();
    for (auto it = m_entries.begin(); it != m_entries.end() && it->due <= now;) {
        if (only && it->pending.socket != only) {
            ++it;
            continue;
        }
        release(*it);
        const PendingAnswer pending = std::move(it->pending);
        it = m_entries.erase(it);
        if (pending.socket && pending.socket->Session() == pending.session) {
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
