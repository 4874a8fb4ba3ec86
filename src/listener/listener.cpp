#include "listener/listener.h"

#include "form/controls.h"
#include "form/fore_colour.h"
#include "form/program_state.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "runtime/leading_number.h"
#include "runtime/wait_cycle.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>

#include <cmath>

namespace {

const QString StartErrorText =
    QStringLiteral("Error while attempting connection.\r\nPort may already be in use");

// The port box's number as a socket port; false for anything outside 0-65535.
bool portFromBox(const QLineEdit *box, int &port) {
    const double value = std::round(leadingNumber(box->text()));
    if (!(value >= 0 && value <= 65535))
        return false;
    port = int(value);
    return true;
}

} // namespace

Listener::Listener(Controls &controls, ProgramState &state, std::function<void()> saveSettings)
    : m_controls(controls), m_state(state), m_saveSettings(std::move(saveSettings)) {}

void Listener::StartListening() {
    Controls &c = m_controls;
    SocketControl *listener = c.listenSock->element(0);

    if (listener->State() != SocketControl::Closed)
        StopListening();

    bool started = false;
    int port = 0;
    const bool portUsable = portFromBox(c.txtListenPort, port) && listener->setLocalPort(port);
    if (c.optTCP[0]->isChecked()) {
        listener->setProtocol(SocketControl::TcpProtocol);
        if (portUsable)
            listener->Listen();
        if (listener->State() == SocketControl::Listening) {
            if (SocketControl *slot = c.listenSock->element(1))
                c.Label1->setText(QString::number(qToUnderlying(slot->State())));
            c.lblStatus[0]->setText(QStringLiteral("Waiting for TCP data on port ")
                                    + QString::number(listener->LocalPort()));
            started = true;
        }
    } else {
        listener->setProtocol(SocketControl::UdpProtocol);
        if (portUsable)
            listener->Bind();
        if (listener->State() == SocketControl::Open) {
            c.lblStatus[0]->setText(QStringLiteral("Waiting for UDP data on port ")
                                    + QString::number(listener->LocalPort()));
            started = true;
        }
    }

    if (!started) {
        StopListening();
        showError(StartErrorText);
        showListeningLook(false);
        c.btnSendData->setEnabled(true);
        c.lblSendIP->show();
        c.txtSendIP->show();
    } else {
        showListeningLook(true);
        if (c.optTCP[0]->isChecked()) {
            c.lblSendIP->setText(NoPeerSendCaption);
            c.btnSendData->setEnabled(false);
            c.lblSendIP->show();
            c.txtSendIP->hide();
        } else {
            c.lblSendIP->setText(QStringLiteral("UDP Mode Send IP Address:"));
            c.btnSendData->setEnabled(true);
            c.lblSendIP->show();
            c.txtSendIP->show();
        }
    }

    if (m_saveSettings)
        m_saveSettings();
}

void Listener::StopListening() {
    Controls &c = m_controls;

    const int count = c.listenSock->Count();
    for (int index = count - 1; index >= 1; --index) {
        if (SocketControl *element = c.listenSock->element(index))
            element->Close();
        c.listenSock->Unload(index);
    }
    c.listenSock->element(0)->Close();

    c.lblStatus[0]->setText(QStringLiteral("Connection Closed"));
    c.btnConnect->setEnabled(true);
    showListeningLook(false);
    m_state.LastRemoteIP = QStringLiteral("None");
    c.btnSendData->setEnabled(true);
    c.lblSendIP->setText(QStringLiteral("Client Mode Send IP Address:"));
    c.lblSendIP->show();
    c.txtSendIP->show();

    if (m_saveSettings)
        m_saveSettings();
}

// Start or Stop, and whether the choices the listener was opened with can be changed.
void Listener::showListeningLook(bool listening) {
    Controls &c = m_controls;
    c.btnConnect->setVisible(!listening);
    c.btnDisconnect->setVisible(listening);
    c.txtListenPort->setReadOnly(listening);
    if (listening)
        setForeColour(c.txtListenPort, QPalette::Text,
                      QApplication::palette().color(QPalette::Disabled, QPalette::Text));
    else
        setForeColour(c.txtListenPort, QPalette::Text,
                      QApplication::palette().color(QPalette::Active, QPalette::WindowText));
    for (QRadioButton *option : c.optTCP)
        option->setEnabled(!listening);
    for (QRadioButton *option : c.optReceiveType)
        option->setEnabled(!listening);
}

void Listener::showError(const QString &text) {
    m_controls.lblStatus[0]->setText(text);
    m_showsError = true;
}

void Listener::btnConnect_Click() {
    m_showsError = false;
    SocketControl *sendSock = m_controls.sendSock;
    if (sendSock->State() != SocketControl::Closed) {
        sendSock->Close();
        runWaitCycles(60, [sendSock] { return sendSock->State() == SocketControl::Closed; });
    }
    StartListening();
}

void Listener::btnDisconnect_Click() {
    m_showsError = false;
    StopListening();
}

void Listener::Form_Unload() {
    StopListening();
}

void Listener::txtListenPort_Change() {
    QLineEdit *box = m_controls.txtListenPort;
    const QString text = box->text();
    const QString normal = normalisedPortText(text);
    if (normal == text)
        return; // an identical write-back would only move the caret
    const int caret = box->cursorPosition();
    box->setText(normal);
    box->setCursorPosition(qMin(caret, int(normal.size())));
}

void Listener::listenSock_ConnectionRequest(int /*index*/, qintptr requestID) {
    SocketArray *sockets = m_controls.listenSock;
    sockets->Load(1); // fails harmlessly when the slot already exists
    if (SocketControl *slot = sockets->element(1))
        slot->Accept(requestID); // refused unless the slot is closed
}

void Listener::listenSock_Error(int /*index*/, int number, const QString &description,
                                const QString & /*source*/) {
    m_state.LastListenError = QString::number(number) + QStringLiteral(" - ") + description;
    StopListening();
    showError(QStringLiteral("Connection closed because of error:\r\n") + m_state.LastListenError);
}
