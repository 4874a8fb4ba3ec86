#include "listener/fault_triggers.h"

void FaultTriggers::setFaults(const QList<Fault> &faults) {
    std::vector<Watched> next;
    QList<ResponseRule> watches;
    m_waiting = 0;
    for (const Fault &fault : faults) {
        bool started = fault.after.watch.isEmpty();
        for (const Watched &was : m_faults) {
            if (was.fault.name == fault.name && was.fault.after == fault.after)
                started = started || was.started;
        }
        next.push_back({fault, started});
        watches.append(started ? ResponseRule{} : fault.after);
        if (!started && fault.enabled)
            ++m_waiting;
    }
    m_faults = std::move(next);
    m_watches.setRules(watches);
}

bool FaultTriggers::look(QByteArrayView chunk) {
    if (m_waiting == 0)
        return false;
    bool started = false;
    for (size_t i = 0; i < m_faults.size(); ++i) {
        Watched &watched = m_faults[i];
        Captures captures{};
        if (watched.started || !watched.fault.enabled
            || !m_watches.matchesRule(qsizetype(i), chunk, captures))
            continue;
        watched.started = true;
        started = true;
        --m_waiting;
    }
    return started;
}

QList<Fault> FaultTriggers::acting(bool up) const {
    QList<Fault> faults;
    for (const Watched &watched : m_faults) {
        if (watched.started && watched.fault.enabled && watched.fault.up == up)
            faults.append(watched.fault);
    }
    return faults;
}

bool FaultTriggers::down() const {
    for (const Watched &watched : m_faults) {
        if (watched.started && watched.fault.enabled && watched.fault.kind == FaultKind::Down)
            return true;
    }
    return false;
}
