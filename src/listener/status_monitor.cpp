#include "listener/status_monitor.h"

#include "listener/listener.h"
#include "model/last_received.h"
#include "net/socket_array.h"
#include "net/socket_control.h"

StatusMonitor::StatusMonitor(const LastReceived &last, Sockets sockets, Listener &listener)
    : m_last(last), m_sockets(sockets), m_listener(listener) {}

void StatusMonitor::tmrMain_Timer() {
    SocketArray *sockets = m_sockets.listenSock;
    const auto listenerState = [sockets] { return sockets->element(0)->State(); };

    // Shown until the next tick, which finds the listener closed.
    const auto stopWithErrorText = [this] { m_listener.stopShowing(); };

    const bool wasClosed = listenerState() == SocketControl::Closed;
    if (!wasClosed) {
        if (m_listener.state().tcp) {
            if (sockets->Count() == 1) {
                const auto state = listenerState();
                if (state != SocketControl::Listening && state != SocketControl::Closed)
                    stopWithErrorText();
            } else {
                const SocketControl *slot = sockets->element(1);
                const auto slotState = slot ? slot->State() : SocketControl::Closed;
                switch (slotState) {
                case SocketControl::Connected:
                    break;
                case SocketControl::Closing:
                    // A peer that half-closed is still owed what is leaving for it.
                    if (!slot->SendingHeld())
                        m_listener.StartListening();
                    break;
                case SocketControl::Closed:
                case SocketControl::Listening:
                    m_listener.StartListening();
                    break;
                default:
                    stopWithErrorText();
                    break;
                }
            }
        } else if (listenerState() != SocketControl::Open) {
            stopWithErrorText();
        }
    }
    // Read after any stop or restart above, so the line shows what is open now.
    emit checked({wasClosed, int(qToUnderlying(listenerState())), sockets->element(0)->LocalPort(),
                  m_last.dataTime, m_last.remoteIP});
}
