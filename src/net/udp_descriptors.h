#pragma once

#include <QtGlobal>

class QHostAddress;

// The UDP socket options Qt has no call for, or sets for IPv6 alone on a dual-stack socket (which
// carries IPv4 as well). Each answers 0 or the errno the system gave.

// Qt allows broadcast on every UDP socket; without it a send to a broadcast address fails.
int setBroadcastAllowed(qintptr descriptor, bool allowed);
// The hop limit of multicast sends, IPv4 and IPv6.
int setMulticastHops(qintptr descriptor, int hops);
// The interface multicast sends leave by; 0: the system's choice.
int setMulticastInterface(qintptr descriptor, int interfaceIndex);
// Joins or leaves a group on an interface (0: the one the system routes the group to).
int changeMembership(qintptr descriptor, const QHostAddress &group, int interfaceIndex, bool join);
// Asks for a receive buffer of `bytes`, past the system's limit where the program may (root);
// the system may grant less.
void setReceiveBuffer(qintptr descriptor, int bytes);
// The receive buffer's bytes as asked for (the system keeps twice as much for its own records);
// 0 when it cannot tell.
int receiveBufferSize(qintptr descriptor);
// Datagrams the system dropped for the socket because its receive buffer was full; -1 when it
// cannot tell.
qint64 socketDrops(qintptr descriptor);
