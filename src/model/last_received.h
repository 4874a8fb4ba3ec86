#pragma once

#include <QDateTime>
#include <QString>

// When data last came in and from where, as the receive path records it and the status monitor
// shows it; the listener forgets the peer as it closes.
struct LastReceived {
    QDateTime dataTime; // not valid before the first chunk
    QString remoteIP = QStringLiteral("None");
    qint32 tick = 0;
};
