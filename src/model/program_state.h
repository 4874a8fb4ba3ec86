#pragma once

#include <QString>

// The five values that outlive any one event; one instance, held by the form.
struct ProgramState {
    QString LastDataTime;
    QString LastRemoteIP;
    qint32 LastReceiveTick = 0;
    qint32 AppendWindowMs = 0;
    QString LastListenError;
};
