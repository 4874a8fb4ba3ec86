#pragma once

#include <QString>
#include <functional>

class Clock;
class Form;

// Opening and closing the listener (element 0 of listenSock), the single connection slot
// (element 1), and socket errors. StartListening and StopListening are the only way the
// listener opens and closes; every reset elsewhere goes through them.
class Listener {
public:
    // `saveSettings` stores the form's settings; every start and stop ends with it.
    Listener(Form &form, const Clock &clock, std::function<void()> saveSettings);

    void StartListening();
    void StopListening();

    void btnConnect_Click();
    void btnDisconnect_Click();
    void Form_Unload();
    void txtListenPort_Change();

    void listenSock_ConnectionRequest(int index, qintptr requestID);
    void listenSock_Error(int index, int number, const QString &description, const QString &source);

    // Whether lblStatus(0) holds an error that must stay until the operator's next Start or
    // Stop, instead of flashing for one tick of the status monitor.
    bool showsError() const { return m_showsError; }
    void showError(const QString &text);

private:
    void showListeningLook(bool listening);

    Form &m_form;
    const Clock &m_clock;
    std::function<void()> m_saveSettings;
    bool m_showsError = false;
    QString m_connectedPeer; // the peer taken up into the connection slot, as address:port
};
