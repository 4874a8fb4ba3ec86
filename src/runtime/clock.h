#pragma once

#include <QDateTime>

// The program's one source of time, injectable so tests can set the tick and the local date.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds of a monotonic counter, taken as a signed 32-bit value (it may wrap).
    virtual qint32 tick() const = 0;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    qint32 tick() const override;
    QDateTime now() const override;
};

// Reads the system's local time zone once for the run. Without it the C library looks at
// /etc/localtime again for every local time it works out, once per received chunk; a zone set
// through TZ is left as it is.
void readLocalZoneOnce();
