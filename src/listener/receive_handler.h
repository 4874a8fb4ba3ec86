#pragma once

#include <QString>

class Clock;
class Form;
class Listener;
class SettingsStore;

// The receive path: show, auto-respond, log, HTTP 404 and reset, record.
class ReceiveHandler {
public:
    // Relative log folders are taken from `logBaseFolder`.
    ReceiveHandler(Form &form, Listener &listener, const Clock &clock, QString logBaseFolder);

    void listenSock_DataArrival(int index, qint64 bytesTotal);
    void Command1_Click();

private:
    Form &m_form;
    Listener &m_listener;
    const Clock &m_clock;
    QString m_logBaseFolder;
};
