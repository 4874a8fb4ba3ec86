#pragma once

#include "model/fault.h"
#include "respond/auto_responder.h"

#include <QByteArrayView>
#include <QList>

#include <vector>

// Which of a relay's faults act now: those switched on, and of those that wait for a watch, the
// ones a chunk has matched since they were set. A chunk that matches starts its faults for what
// comes after it.
class FaultTriggers {
public:
    // A fault whose name and watch stay keeps whether it started.
    void setFaults(const QList<Fault> &faults);
    // True when the chunk started a fault.
    bool look(QByteArrayView chunk);
    bool waiting() const { return m_waiting > 0; }
    // The faults that act now on the way `up` (to the target) or back.
    QList<Fault> acting(bool up) const;
    // Whether a `down` fault acts now.
    bool down() const;

private:
    struct Watched {
        Fault fault;
        bool started = false;
    };
    std::vector<Watched> m_faults;
    AutoResponder m_watches; // rule i is the watch of m_faults[i], empty when none
    int m_waiting = 0;
};
