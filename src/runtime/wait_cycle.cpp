#include "runtime/wait_cycle.h"

#include <QCoreApplication>
#include <QThread>

bool runWaitCycles(int limit, const std::function<bool()> &check) {
    for (int cycle = 0; cycle <= limit; ++cycle) {
        if (check && check())
            return true;
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QThread::msleep(WaitCycleMs);
    }
    return false;
}
