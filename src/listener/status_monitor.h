#pragma once

#include "model/sockets.h"

#include <QObject>
#include <QString>

class Form;
class Listener;

// The 100 ms watchdog: stops a listener in a bad state, reopens the TCP listener once its peer
// has gone, and tells what it found for the status lines.
class StatusMonitor final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusMonitor)

public:
    StatusMonitor(Form &form, Sockets sockets, Listener &listener);

    void tmrMain_Timer();

signals:
    // Each tick, after any stop or restart: the last data time, the listener socket's state,
    // port and the last remote address, as one line; `wasClosed` when the listener was closed
    // as the tick began.
    void checked(const QString &detail, bool wasClosed);

private:
    Form &m_form;
    Sockets m_sockets;
    Listener &m_listener;
};
