#include "program/status_texts.h"

#include "listener/status_monitor.h"
#include "model/listener_state.h"
#include "model/relay_options.h"
#include "net/network_options.h"
#include "net/socket_errors.h"
#include "runtime/date_time_text.h"
#include "sender/sender.h"

namespace {

const QString AttemptFailed = QStringLiteral("Error while attempting connection.\r\n");

// The waiting text and all that the options, the relay and the last handshake add to it.
QString waitingLine(const ListenerState &state) {
    QString line = (state.tcp ? QStringLiteral("Waiting for TCP data on port ")
                              : QStringLiteral("Waiting for UDP data on port "))
                   + QString::number(state.port) + networkStatusSuffix(state.network);
    if (state.grantedReceiveBufferKiB > 0)
        line += QStringLiteral(" - the system granted a receive buffer of %1 KiB only")
                    .arg(state.grantedReceiveBufferKiB);
    if (state.secure)
        line += state.tcp ? QStringLiteral(" over TLS") : QStringLiteral(" over DTLS");
    line += relayStatusText(state.relay, state.pairsOpen);
    if (!state.security.isEmpty())
        line += QStringLiteral(" - ") + state.peer + QStringLiteral(": ") + state.security;
    return line;
}

// Why, as the status line says it; empty for no reason.
QString reasonLine(const ListenerReason &reason) {
    using Kind = ListenerReason::Kind;
    switch (reason.kind) {
    case Kind::None:
        break;
    case Kind::PortUnavailable:
        return AttemptFailed + QStringLiteral("Port may already be in use");
    case Kind::SystemRefused:
        return AttemptFailed + failureText(reason.error);
    case Kind::TlsUnusable:
        return AttemptFailed + QStringLiteral("TLS: ") + reason.detail;
    case Kind::RelayTlsUnusable:
        return QStringLiteral("TLS to the relay target: ") + reason.detail;
    case Kind::SocketError:
        return QStringLiteral("Connection closed because of error:\r\n")
               + failureText(reason.error);
    case Kind::MonitorStopped:
        return QStringLiteral("Connection Error");
    case Kind::OptionsRefused:
    case Kind::SecureProblem:
        return reason.detail;
    }
    return {};
}

// What follows the time: a repeat's progress, or why nothing (or not all) was sent.
QString sendSuffix(const SendResult &result) {
    const QString notSent = QStringLiteral(" - ERROR: Data Not Sent, ");
    switch (result.outcome) {
    case SendOutcome::None:
        break;
    case SendOutcome::Sent:
        if (result.repeatSent == 0)
            break;
        return result.repeatCount > 0
                   ? QStringLiteral(" (%1 of %2)").arg(result.repeatSent).arg(result.repeatCount)
                   : QStringLiteral(" (%1)").arg(result.repeatSent);
    case SendOutcome::NoActiveConnection:
        return notSent + QStringLiteral("No Active TCP Connection");
    case SendOutcome::SocketClosed:
        return notSent + QStringLiteral("Socket Closed");
    case SendOutcome::CouldntConnect:
        return notSent + QStringLiteral("Couldn't Connect To Host");
    case SendOutcome::CouldntOpenUdp:
        return notSent + QStringLiteral("Couldn't Open UDP Port");
    case SendOutcome::SendFailed:
        return notSent + QStringLiteral("Send Failed");
    case SendOutcome::Cancelled:
        return result.total < 0 ? QStringLiteral(" - Cancelled, %1 Bytes Sent").arg(result.bytes)
                                : QStringLiteral(" - Cancelled, %1 of %2 Bytes Sent")
                                      .arg(result.bytes)
                                      .arg(result.total);
    }
    return {};
}

} // namespace

QString lastSendLine(const SendResult &result) {
    if (result.outcome == SendOutcome::None)
        return {};
    return QStringLiteral("Last Data Sent: ") + dateTimeText(result.at) + sendSuffix(result);
}

// A reason, where one is held, stands for the rest.
QString listenerLine(const ListenerState &state) {
    const bool held = state.reason.kind != ListenerReason::Kind::None;
    switch (state.phase) {
    case ListenerPhase::Idle:
        return held ? reasonLine(state.reason) : QStringLiteral("Connection Closed");
    case ListenerPhase::Failed:
        return reasonLine(state.reason);
    case ListenerPhase::Listening:
    case ListenerPhase::PeerConnected:
        break;
    }
    return held ? reasonLine(state.reason) : waitingLine(state);
}

QString monitorLine(const MonitorCheck &check) {
    const QString when =
        check.lastDataTime.isValid() ? dateTimeText(check.lastDataTime) : QStringLiteral("None");
    QString line = QStringLiteral("Last Data Received:") + when + QStringLiteral(" - Sock State:")
                   + QString::number(check.socketState);
    if (check.wasClosed)
        return line + QStringLiteral(" (Not Connected)");
    return line + QStringLiteral(" - Port:") + QString::number(check.port)
           + QStringLiteral(" - Remote IP:") + check.lastRemoteIP;
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
