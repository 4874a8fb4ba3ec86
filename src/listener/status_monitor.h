#pragma once

#include "model/sockets.h"

#include <QDateTime>
#include <QObject>
#include <QString>

class Listener;
struct LastReceived;

// What one tick of the status monitor found, after any stop or restart it made.
struct MonitorCheck {
    // The listener was closed as the tick began.
    bool wasClosed = false;
    // The listener socket's state number and port.
    int socketState = 0;
    int port = 0;
    // When data last came (not valid before any) and from where, as the receive path keeps them.
    QDateTime lastDataTime;
    QString lastRemoteIP;
};

// The 100 ms watchdog: stops a listener in a bad state, reopens the TCP listener once its peer
// has gone, and tells what it found for the status lines.
class StatusMonitor final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusMonitor)

public:
    StatusMonitor(const LastReceived &last, Sockets sockets, Listener &listener);

    void tmrMain_Timer();

signals:
    // Each tick, after any stop or restart.
    void checked(const MonitorCheck &check);

private:
    const LastReceived &m_last;
    Sockets m_sockets;
    Listener &m_listener;
};
