#pragma once

#include <QString>

class SettingsStore;
struct Controls;
struct ProgramState;

// Opening and closing the listener (element 0 of listenSock), the single connection slot
// (element 1), and socket errors. StartListening and StopListening are the only way the
// listener opens and closes; every reset elsewhere goes through them.
class Listener
{
public:
    Listener(Controls &controls, ProgramState &state, SettingsStore &settings);

    void StartListening();
    void StopListening();

    void btnConnect_Click();
    void btnDisconnect_Click();
    void Form_Unload();
    void txtListenPort_Change();

    void listenSock_ConnectionRequest(int index, qintptr requestID);
    void listenSock_Error(int index, int number, const QString &description,
                          const QString &source);

private:
    void showListeningLook(bool listening);

    Controls &m_controls;
    ProgramState &m_state;
    SettingsStore &m_settings;
};
