#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QDtls;
class QDtlsClientVerifier;
class QUdpSocket;
class TlsContext;
class UdpEndpoint;

// DTLS on one bound UDP endpoint, as its TLS context's role says. A server checks a new peer's
// cookie before it keeps anything for it, then holds one session per peer: at most MaxPeers at
// once, each let go after IdleMs without a datagram. A client holds the one session with the
// host its sends go to. Anything that is not DTLS of a known session is dropped and told.
class DtlsEndpoint final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DtlsEndpoint)

public:
    static constexpr int MaxPeers = 64;
    static constexpr int IdleMs = 60000;
    // A record's plain text is at most 16 KiB.
    static constexpr qsizetype LargestDatagram = 16384;

    // Writes through `udp`, which outlives it.
    DtlsEndpoint(UdpEndpoint *udp, std::shared_ptr<const TlsContext> context, QObject *parent);
    ~DtlsEndpoint() override;

    // A datagram `udp` read: true, with `plain`, when it held application data of a secured
    // session; otherwise it belonged to a handshake, or was dropped.
    bool take(const QByteArray &datagram, const QHostAddress &from, quint16 port,
              QByteArray &plain);
    // A client's handshake with `host` (the name the certificate must carry) at address:port.
    void connectTo(const QString &host, const QHostAddress &address, quint16 port);
    // Encrypted to a secured peer; false, with sendFailure() saying why, without one.
    bool send(const QByteArray &data, const QHostAddress &to, quint16 port);
    QString sendFailure() const { return m_sendFailure; }
    // The session's protocol, cipher and peer certificate.
    QString summary(const QHostAddress &address, quint16 port) const;
    // The summary for the first datagram of a session, once; empty after.
    QString takeFirstSecurity(const QHostAddress &address, quint16 port);
    // Tells every secured peer that its session ends.
    void shutDown();

signals:
    void secured(const QString &summary);
    // "DTLS handshake with 127.0.0.1:40122 failed: unknown CA"
    void failed(const QString &why);
    // A datagram or a peer dropped: what the operator is told (empty: nothing new), and whether
    // it was a peer past MaxPeers.
    void note(const QString &text, bool peerDropped);

private:
    struct Peer;
    Peer *find(const QHostAddress &address, quint16 port) const;
    Peer *admit(const QByteArray &hello, const QHostAddress &from, quint16 port);
    Peer *add(const QHostAddress &address, quint16 port, const QString &host);
    void handshake(Peer &peer, const QByteArray &datagram);
    void onTimeout(const QDtls *dtls);
    void finish(Peer &peer);
    void fail(Peer &peer, const QString &why);
    void remove(const Peer &peer);
    void sweep();
    void dropDatagram(const QString &why);
    bool write(const std::function<bool(QUdpSocket &)> &write);
    bool isClient() const;

    UdpEndpoint *m_udp;
    std::shared_ptr<const TlsContext> m_context;
    QSslConfiguration m_configuration;
    std::unique_ptr<QDtlsClientVerifier> m_verifier;
    std::vector<std::unique_ptr<Peer>> m_peers;
    QTimer m_sweep;
    QString m_sendFailure;
    QString m_closedBy;   // the last peer that ended its session
    QString m_failedPeer; // the last peer whose handshake failed
    qint64 m_droppedDatagrams = 0;
    QElapsedTimer m_sinceDropNote;
    bool m_fullTold = false;
    // The peers turned away while full, each counted once however often it asks again; as many
    // as there are sessions, the oldest forgotten first.
    std::deque<QString> m_turnedAway;
};
