#pragma once

#include "model/listener_state.h"
#include "model/sockets.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class TlsContext;

class Clock;
class Configuration;
class Form;
struct LastReceived;
class SocketControl;
class TrafficCounters;

// Opening and closing the listener (element 0 of listenSock), the single connection slot
// (element 1), and socket errors. StartListening and StopListening are the only way the
// listener opens and closes; every reset elsewhere goes through them.
class Listener final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Listener)

public:
    // `saveSettings` stores the form's settings; every start and stop ends with it. Each close
    // forgets `last`'s peer.
    Listener(Form &form, Sockets sockets, TrafficCounters &traffic,
             const Configuration &configuration, const Clock &clock, LastReceived &last,
             std::function<void()> saveSettings);

    // Closes what is open first; either way it tells one change (Listening or Failed) and saves
    // once.
    void StartListening();
    void StopListening();

    void btnConnect_Click();
    void btnDisconnect_Click();
    void Form_Unload();
    void txtListenPort_Change();

    void listenSock_ConnectionRequest(int index, qintptr requestID);
    void listenSock_Error(int index, int number, const QString &description, const QString &source);
    // A TLS handshake with the peer in the connection slot is done, or a DTLS one with a peer
    // of the UDP listener.
    void listenSock_Secured(int index);
    // The DTLS listener failed a handshake or dropped a datagram or a peer.
    void listenSock_SecureNote(int index, const QString &text, bool peerDropped);

    const ListenerState &state() const { return m_state; }
    // The last socket error, as "10054 - Connection reset by peer."; empty before any.
    const QString &lastError() const { return m_lastError; }
    // The secure listener's context while it listens; null for plain TCP.
    std::shared_ptr<const TlsContext> tlsContext() const { return m_tls; }
    // Asked for the passphrase of a protected key at a Start; each one given is kept for the
    // restarts that follow.
    void setPassphraseSource(std::function<QByteArray(const QString &keyFile)> ask) {
        m_askPassphrase = std::move(ask);
    }
    // Closes the listener, which then stays Failed with `reason` until the operator's next Start
    // or Stop.
    void fail(const ListenerReason &reason);
    // The status monitor closes the listener; the state says so until its next tick.
    void stopShowing();
    // Relay mode: where the peers go and the pairs open, told while the listener is open.
    void setRelay(const RelayOptions &options, int pairsOpen);

signals:
    void stateChanged(const ListenerState &state);
    // A peer that connected while another was connected was closed at once. Each peer as
    // "address:port", an IPv4 one dotted as the status line shows it, an IPv6 one in brackets;
    // `connectedPeer` is empty when the request was refused for another reason.
    void connectionRefused(const QString &refusedPeer, const QString &connectedPeer);
    // A peer was taken up into the connection slot; told at once, as a peer that leaves within
    // a tick of the status monitor is never shown on the status lines.
    void connectionAccepted(const QString &peer);
    // A note for the received-data record.
    void recordNote(const QString &text);

private:
    ListenerReason applyOptions(SocketControl *listener, bool &usable);
    bool open(SocketControl *listener, bool tcp, bool usable, ListenerReason &startError);
    void closeSockets();
    void save();
    // The last Start's protocol, port and options, no peer.
    ListenerState withoutPeer(ListenerPhase phase, const ListenerReason &reason) const;
    // `starts`: the Start the state comes from, when it is a new one.
    void setState(const ListenerState &state, int starts = -1);
    QString loadTls();
    void dropFailedHandshake(SocketControl *slot);

    Form &m_form;
    LastReceived &m_last;
    QString m_lastError;
    Sockets m_sockets;
    TrafficCounters &m_traffic;
    const Configuration &m_configuration;
    const Clock &m_clock;
    std::function<void()> m_saveSettings;
    ListenerState m_state;
    RelayOptions m_relay;
    int m_pairsOpen = 0;
    bool m_starting = false;
    // The secure listener's certificate and key, read at Start; null for plain TCP.
    std::shared_ptr<const TlsContext> m_tls;
    std::function<QByteArray(const QString &)> m_askPassphrase;
    QHash<QString, QByteArray> m_passphrases; // by key file
};
