#pragma once

#include <QHostAddress>
#include <QtGlobal>

#include <functional>
#include <utility>

class QObject;
class QTcpServer;
class QTcpSocket;

// The socket control's work on the system's descriptors, where Qt has no call for it.

// A server that announces each accepted connection's descriptor and closes it once the
// announcement has returned: whoever took the request up holds a duplicate.
QTcpServer *newRequestServer(std::function<void(qintptr descriptor)> announce, QObject *parent);
// A duplicate of an announced descriptor for a socket of our own; -1 when it is no connected
// stream socket (a stale or made-up request) or cannot be duplicated.
int duplicateConnection(qintptr descriptor);
void closeDescriptor(int descriptor);
// The address and port of an announced connection's peer, an IPv4 peer of the dual-stack
// listener as IPv4 (never ::ffff:); a null address when it has none.
std::pair<QHostAddress, quint16> connectionPeer(qintptr descriptor);
// The port a socket has here; 0 when it has none.
quint16 localPortOf(qintptr descriptor);
// Bytes of a TCP connection the peer has not acknowledged yet (a half-close's FIN counts one);
// -1 when the descriptor cannot tell.
qint64 unacknowledgedBytes(qintptr descriptor);
// The error a connection ran into (a reset, say), taken: 0 when there is none.
int pendingSocketError(int descriptor);
// Ends the sending side: the system sends what it holds, then the end of the stream.
void shutdownSending(qintptr descriptor);
// Keep-alive probes that notice a peer which vanished without closing within a minute.
void enableKeepAlive(QTcpSocket *socket);
