#pragma once

#include <QString>

// The words of the listener's status lines and of the send target's caption, from the facts the
// listener and the status monitor tell; the window's presenter and the command line show the
// same lines.

// The first status line once a tick has found the listener closed without a failure.
inline const QString NotConnectedLine = QStringLiteral("Not Connected");
// The send target's caption while the TCP listener has no peer.
inline const QString NoPeerSendCaption =
    QStringLiteral("TCP Server Mode Send IP Address: Unavailable, no current connection");

struct ListenerState;
struct MonitorCheck;
struct SendResult;

// The first status line: where the listener is, or why it is not.
QString listenerLine(const ListenerState &state);
// The second status line: the status monitor's last look.
QString monitorLine(const MonitorCheck &check);
// The third status line: "Last Data Sent: " with the time, and what became of the send.
QString lastSendLine(const SendResult &result);
// Where a press of "Send Data" goes. `peerAddress` is the listener's peer's address while it can
// be sent to, else empty.
QString sendTargetCaption(const ListenerState &listener, const QString &peerAddress);
