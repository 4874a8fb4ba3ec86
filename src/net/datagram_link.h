#pragma once

#include "net/link.h"

#include <QHostAddress>

#include <functional>

// A far end reached by datagrams through a socket it shares with others: the relay's clients
// through the listener's UDP socket, its target through a mapping's own.
class DatagramLink final : public Link {
public:
    using Send = std::function<bool(const QByteArray &data, const QHostAddress &to, quint16 port)>;
    DatagramLink(const QHostAddress &address, quint16 port, Send send);

    QString farAddress() const override { return m_shown; }
    int farPort() const override { return m_port; }
    int nearPort() const override { return 0; }
    bool datagrams() const override { return true; }
    Phase phase() const override { return Phase::Open; }
    QString failure() const override { return {}; }
    bool send(const QByteArray &bytes) override;
    qint64 bytesSent() const override { return m_sent; }
    QString chunkSecurity() const override { return {}; }

private:
    QHostAddress m_address;
    quint16 m_port;
    QString m_shown;
    Send m_send;
    qint64 m_sent = 0;
};
