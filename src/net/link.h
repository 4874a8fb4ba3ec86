#pragma once

#include <QByteArray>
#include <QString>

// A conversation with one far end: the listener's TCP peer, a UDP far end, a DTLS session,
// either side of a relayed pair, a sequence's connection. Whatever its kind, what arrives on a
// link takes the one receive road (ReceiveHandler::take), and an answer goes back by send().
// A new kind of link (a WebSocket, a serial port) implements this; its QObject announces what
// arrives and how the link stands with signals of its own.
class Link {
public:
    enum class Phase {
        Opening, // looking up, connecting or handshaking
        Open,
        Closed,
        Failed, // closed by a failure: failure() says why
    };

    Link() = default;
    Q_DISABLE_COPY_MOVE(Link)
    virtual ~Link() = default;

    // The far end as the status lines show it, an IPv4 address dotted and never ::ffff:;
    // empty while none is known. A datagram link's far end is the last datagram's sender.
    virtual QString farAddress() const = 0;
    virtual int farPort() const = 0;
    // The port the link has here; 0 while it has none.
    virtual int nearPort() const = 0;
    // Whole datagrams rather than a stream.
    virtual bool datagrams() const = 0;
    virtual Phase phase() const = 0;
    virtual QString failure() const = 0;
    // Bytes out to the far end; false when the link could not take them.
    virtual bool send(const QByteArray &bytes) = 0;
    // Bytes the system has taken for the far end so far.
    virtual qint64 bytesSent() const = 0;
    // A secured link's protocol, cipher and peer certificate while the chunk just read is the
    // first after its handshake; empty otherwise.
    virtual QString chunkSecurity() const = 0;
};
