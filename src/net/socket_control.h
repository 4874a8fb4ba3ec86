#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

class QAbstractSocket;
class QTcpServer;
class QUdpSocket;

// One event-driven TCP or UDP socket with a numbered state (0-9) and three events.
// Calls that cannot be carried out return false and change nothing; later failures arrive as
// Error. Everything runs on the thread that owns the object.
class SocketControl final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SocketControl)

public:
    enum ProtocolKind : int { TcpProtocol = 0, UdpProtocol = 1 };
    enum StateCode : int {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Failed = 9,
    };

    explicit SocketControl(QObject *parent = nullptr);
    ~SocketControl() override;

    int Protocol() const;
    bool setProtocol(int protocol); // only while closed
    int LocalPort() const;          // after Listen/Bind on port 0: the port the system chose
    bool setLocalPort(int port);    // 0..65535
    QString RemoteHost() const;
    bool setRemoteHost(const QString &host);
    int RemotePort() const;
    bool setRemotePort(int port); // 0..65535
    // Dotted address of the TCP peer or of the last datagram's sender (IPv4 peers never as ::ffff:).
    QString RemoteHostIP() const;
    int State() const;

    bool Listen();                   // TCP, all addresses, IPv4 and IPv6; State 2 on success
    bool Bind();                     // UDP on LocalPort; State 1 on success
    bool Accept(qintptr requestID);  // only on a closed control; State 7 on success
    bool Connect();                  // TCP to RemoteHost:RemotePort; 4, 5, 6 then 7 or 9
    bool SendData(const QByteArray &data); // TCP needs 7; UDP answers the last sender or RemoteHost
    QByteArray GetData();            // everything waiting (UDP: the current datagram)
    void Close();                    // State 0 at once

signals:
    void ConnectionRequest(qintptr requestID);
    void DataArrival(qint64 bytesTotal);
    void Error(int number, const QString &description, const QString &source);

private:
    struct Private;
    Private *d;
};
