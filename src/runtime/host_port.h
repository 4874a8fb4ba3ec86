#pragma once

#include <QString>

// HOST:PORT, where an IPv6 address stands in brackets, and a port a client can reach (1-65535).
// False when the text is no such thing.
bool splitHostPort(const QString &text, QString &host, int &port);

// The text splitHostPort reads back: an address with a colon in brackets.
QString joinHostPort(const QString &host, int port);
