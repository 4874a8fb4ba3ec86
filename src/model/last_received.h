#pragma once

#include <QString>

// When data last came in and from where, as the receive path records it and the status monitor
// shows it; the listener forgets the peer as it closes.
struct LastReceived {
    QString dataTime = QStringLiteral("None");
    QString remoteIP = QStringLiteral("None");
    qint32 tick = 0;
};
