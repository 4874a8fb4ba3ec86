#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

// Where the listener listens and how far UDP reaches beyond one peer. The defaults are what the
// program did before any of this could be chosen.
struct NetworkOptions {
    static constexpr int DefaultMulticastTtl = 1;
    static constexpr int MaxMulticastTtl = 255;
    static constexpr int MaxReceiveBufferKiB = 1 << 20;

    QHostAddress listenAddress;          // null: all addresses, IPv4 and IPv6
    QList<QHostAddress> multicastGroups; // joined by the UDP listener
    QString multicastInterface; // for joins and multicast sends; empty: the system's choice
    bool allowBroadcast = false;
    int multicastTtl = DefaultMulticastTtl;
    bool sendFromListenPort = false; // UDP client sends leave from the UDP listener's own socket
    // A stored listening address that is none, as stored: the listener refuses to start (it
    // never falls back to all addresses) until another address is chosen.
    QString unusableListenAddress;
    // The UDP listener's receive buffer, where datagrams wait while the program is busy; 0: the
    // program's own choice of 4 MiB, or what the system allows of it.
    int udpReceiveBufferKiB = 0;

    bool operator==(const NetworkOptions &) const = default;
};

// Every check and parse answers what is wrong for the operator to read, empty when nothing is;
// a parse fills its result only then. Texts are taken as typed or stored (blanks around ignored).
QString parseListenAddress(const QString &text, QHostAddress &address); // empty: all addresses
QString parseMulticastGroup(const QString &text, QHostAddress &group);
// Comma-separated, as stored; empty parts and repeats are dropped.
QString parseMulticastGroups(const QString &text, QList<QHostAddress> &groups);
QString checkInterfaceName(const QString &name); // empty: the system's choice
QString parseMulticastTtl(const QString &text, int &ttl);
QString checkMulticastTtl(int ttl);
QString parseReceiveBuffer(const QString &text, int &kib);
QString checkReceiveBuffer(int kib);
QString parseSwitch(const QString &text, bool &on); // "0" or "1", as stored
// The first problem of all the options together (an interface may have gone since they were
// chosen, and groups need a listener on all addresses or on the group's own address).
QString checkNetworkOptions(const NetworkOptions &options);

// "ListenAddress=TEXT: reason" while the options hold an unusable listening address, else empty.
QString listenAddressProblem(const NetworkOptions &options);

// The stored forms; parsed back by the calls above.
QString listenAddressText(const QHostAddress &address); // empty for all addresses
QString multicastGroupsText(const QList<QHostAddress> &groups);
QString switchText(bool on);

// What the status line adds after its own text while any option is away from its default, as
// " (group 239.1.2.3)"; empty while none is.
QString networkStatusSuffix(const NetworkOptions &options);
