#include "model/listener_state.h"

QString ListenerState::statusText() const {
    switch (phase) {
    case ListenerPhase::Idle:
        return reason.isEmpty() ? QStringLiteral("Connection Closed") : reason;
    case ListenerPhase::Failed:
        return reason;
    case ListenerPhase::Listening:
    case ListenerPhase::PeerConnected:
        break;
    }
    if (!reason.isEmpty())
        return reason;
    return (tcp ? QStringLiteral("Waiting for TCP data on port ")
                : QStringLiteral("Waiting for UDP data on port "))
           + QString::number(port) + optionsNote + relayNote
           + (!security.isEmpty() ? QStringLiteral(" - ") + peer + QStringLiteral(": ") + security
                                  : QString());
}

QString sendTargetCaption(const ListenerState &listener, const QString &peerAddress) {
    if (!listener.open())
        return QStringLiteral("Client Mode Send IP Address:");
    if (!listener.tcp)
        return QStringLiteral("UDP Mode Send IP Address:");
    if (peerAddress.isEmpty())
        return NoPeerSendCaption;
    return QStringLiteral("TCP Server Mode Send IP Address: ") + peerAddress;
}
