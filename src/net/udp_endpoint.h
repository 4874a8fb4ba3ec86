#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <utility>

#include "net/datagram_batch.h"
#include "net/network_options.h"
#include "net/socket_errors.h"

class QUdpSocket;

// One bound UDP socket: datagrams in and out, broadcast, multicast groups and sends from its own
// port, and the lookup of the host its sends go to.
class UdpEndpoint final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UdpEndpoint)

public:
    // Looks a host name up and answers on the context's thread with its addresses (none: not
    // found); no answer after the context is gone.
    using HostLookup =
        std::function<void(const QString &name, QObject *context,
                           std::function<void(const QList<QHostAddress> &addresses)> answer)>;
    static constexpr int LookupTimeoutMs = 5000;
    // Applied at bind; the defaults leave the socket as Qt makes it, except that broadcast is off.
    struct Options {
        bool allowBroadcast = false;
        int multicastTtl = NetworkOptions::DefaultMulticastTtl;
        QString multicastInterface; // empty: the system's choice
        int receiveBufferBytes = 0; // 0: the program's own choice
    };

    explicit UdpEndpoint(QObject *parent = nullptr);
    ~UdpEndpoint() override;

    static void lookUpWithSystem(const QString &name, QObject *context,
                                 std::function<void(const QList<QHostAddress> &)> answer);
    // The interface's index; 0 for the system's choice, -1 for a name that no interface has.
    static int interfaceIndex(const QString &name);

    // On one address, or null for all addresses; false with failure() saying why.
    bool bind(const QHostAddress &address, quint16 port, const Options &options);
    quint16 localPort() const;
    // Bytes of receive buffer the system granted; 0 when it cannot tell.
    int grantedReceiveBuffer() const;
    QString errorString() const;
    // Why the last bind, joinGroups or send returned false.
    WinsockError failure() const { return m_failure; }

    // While paused, datagrams wait in the system (or in the batch they were read with).
    void setPaused(bool paused);
    // Reads the datagrams waiting, in batches, one datagramArrived each, until paused or closed
    // or a round's share is handed on; the rest come in the next round of events.
    void readWaiting();
    // Datagrams the system dropped for this socket since it was bound, because its receive
    // buffer was full; -1 when the system cannot tell.
    qint64 systemDrops() const;
    QByteArray takeDatagram() { return std::exchange(m_datagram, {}); }
    // The last datagram's sender, with its scope (fe80::...%eth0), so a link-local one is reached.
    QHostAddress senderAddress() const { return m_senderAddress; }
    quint16 senderPort() const { return m_senderPort; }

    bool send(const QByteArray &data, const QHostAddress &to, quint16 port);
    // A send that `write` makes itself (DTLS writes its own records): false, with failure(),
    // unless it answers true and Qt raised nothing meanwhile.
    bool sendThrough(const std::function<bool(QUdpSocket &socket)> &write);
    // The socket error Qt raised while the last send ran, which it reported instead of
    // socketError.
    std::optional<QAbstractSocket::SocketError> raisedInSend() const { return m_raisedInSend; }

    // Joins the groups on the interface; false, having left every group again, with errorText
    // naming the group and the reason.
    bool joinGroups(const QList<QHostAddress> &groups, const QString &interfaceName,
                    QString *errorText);
    // Leaves the groups and closes the socket; nothing is raised any more.
    void close();

    // lookupEnded follows with what was found, or nothing once LookupTimeoutMs have passed.
    void lookUp(const QString &host, const HostLookup &lookup);
    // What a lookup found is kept for addressOf; no address: the name was not found.
    void keepLookedUp(const QString &host, const QList<QHostAddress> &addresses);
    // The kept address of the host; null when it was not the one looked up.
    QHostAddress lookedUpAddress(const QString &host) const;
    bool hostNotFound() const { return m_hostNotFound; }

signals:
    void datagramArrived(qint64 size);
    void socketError(QAbstractSocket::SocketError error);
    void lookupEnded(const QString &host, const QList<QHostAddress> &addresses);

private:
    int applyOptions(const Options &options) const;
    void leaveGroups();
    void onLookedUp(quint64 round, const QString &host, const QList<QHostAddress> &addresses);

    QUdpSocket *m_socket;
    bool m_open = false;
    bool m_paused = false;
    int m_sending = 0;
    std::optional<QAbstractSocket::SocketError> m_raisedInSend;
    WinsockError m_failure;

    DatagramBatch m_batch;
    int m_nextInBatch = 0; // the first datagram of m_batch not yet handed on
    QByteArray m_datagram;
    QHostAddress m_senderAddress;
    quint16 m_senderPort = 0;

    QList<QHostAddress> m_joinedGroups;
    int m_joinedInterface = 0;

    quint64 m_lookupRound = 0; // tells a late answer or timeout from the current lookup's
    QString m_lookedUpHost;
    QHostAddress m_lookedUpAddress;
    bool m_hostNotFound = false;
};
