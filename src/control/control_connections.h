#pragma once

#include <QHash>
#include <QTcpServer>

class QTcpSocket;
class QTimer;

// The control API's listening socket, which keeps what a client can make it hold bounded: at
// most MaxConnections clients at once, a client closed once it sent MaxUnanswered bytes that
// got no answer yet (answered with 413 first), left MaxUnread bytes of answers unread, or IdleMs
// after it was last answered.
class ControlConnections final : public QTcpServer {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ControlConnections)

public:
    static constexpr int MaxConnections = 32;
    static constexpr qint64 MaxUnanswered = qint64(1) << 20;
    static constexpr qint64 MaxUnread = qint64(4) << 20;
    static constexpr int IdleMs = 30000;

    explicit ControlConnections(QObject *parent = nullptr);
    ~ControlConnections() override;

    int open() const { return int(m_clients.size()); }
    // A request on `socket` is being answered: what it sent so far is counted no more. False
    // when the client does not read its answers: it is closed, and gets no answer.
    bool answering(QTcpSocket *socket);

protected:
    void incomingConnection(qintptr handle) override;

private:
    struct Client {
        qint64 unanswered = 0;
        QTimer *idle = nullptr;
        bool refused = false;
    };
    void arrived(QTcpSocket *socket);

    QHash<QTcpSocket *, Client> m_clients;
};
