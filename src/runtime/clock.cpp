#include "runtime/clock.h"

#include <QElapsedTimer>

qint32 SystemClock::tick() const {
    // Only differences of ticks matter, so wrapping at 32 bits is harmless.
    QElapsedTimer now;
    now.start();
    return qint32(quint32(quint64(now.msecsSinceReference())));
}

QDateTime SystemClock::now() const {
    return QDateTime::currentDateTime();
}

void readLocalZoneOnce() {
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
}
