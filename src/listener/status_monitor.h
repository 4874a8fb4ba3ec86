#pragma once

#include <QString>

class Form;
class Listener;

// The 100 ms watchdog: keeps the two status lines current, stops a listener in a bad state and
// reopens the TCP listener once its peer has gone.
class StatusMonitor {
public:
    StatusMonitor(Form &form, Listener &listener);

    void tmrMain_Timer();

private:
    Form &m_form;
    Listener &m_listener;
};
