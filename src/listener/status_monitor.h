#pragma once

#include <QString>

class Listener;
struct Controls;
struct ProgramState;

// The 100 ms watchdog: keeps the two status lines current, stops a listener in a bad state and
// reopens the TCP listener once its peer has gone.
class StatusMonitor {
public:
    StatusMonitor(Controls &controls, const ProgramState &state, Listener &listener);

    void tmrMain_Timer();

private:
    Controls &m_controls;
    const ProgramState &m_state;
    Listener &m_listener;
};
