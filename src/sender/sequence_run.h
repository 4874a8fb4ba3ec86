#pragma once

#include "net/tls_options.h"
#include "respond/auto_responder.h"
#include "settings/packet_entry.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <array>
#include <functional>
#include <map>

class Clock;
class SocketControl;
struct ReceivedChunk;

// One run of a saved sequence (or of one packet, as a sequence of one send). Each target gets
// one connection, opened at its first send and kept until the run ends, so an expect reads the
// answer to the send before it. `peer` sends go to the listener's connected TCP peer, and what
// that peer sends reaches the run through peerChunk(). A step that fails or times out ends the
// run with a line saying which step and what arrived instead, or after which step the target
// closed the connection.
class SequenceRun final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SequenceRun)

public:
    // What a connection may hold unread; older bytes are dropped past it.
    static constexpr qsizetype MaxHeld = 1024 * 1024;
    static constexpr int ConnectTimeoutMs = 5000;

    struct Setup {
        PacketEntry entry; // a sequence, or a packet sent once
        std::function<const PacketEntry *(const QString &)> find; // a packet by name
        std::optional<PacketTarget> to;             // replaces every packet's own target
        std::function<SocketControl *()> peer;      // the listener's TCP peer, if any
        QHash<QString, qint64> *counters = nullptr; // %SEQ% per packet, kept between runs
        const Clock *clock = nullptr;
        TlsOptions clientTls{}; // how a tls target is verified
    };
    explicit SequenceRun(Setup setup, QObject *parent = nullptr);
    ~SequenceRun() override;

    void start();
    void stop();
    bool running() const { return m_running; }
    // Steps of one pass, and the step under way (0-based) in pass `pass` (0-based).
    qsizetype stepCount() const { return m_setup.entry.steps.size(); }
    // The result line once finished.
    const QString &result() const { return m_result; }
    bool passed() const { return m_passed; }
    // Whether a connection of the run still holds bytes for the system, or delivers them after
    // its close.
    bool delivering() const;

    // What the listener's peer sent.
    void peerChunk(const ReceivedChunk &chunk);

signals:
    void stepStarted(int step, int pass, const QString &text);
    void finished(bool passed, const QString &result);
    // What delivering() answers may have changed.
    void deliveryProgressed();

private:
    // A target's connection (a link) and what it brought that no step has looked at yet.
    struct Connection {
        QPointer<SocketControl> socket; // null for the listener's peer
        QByteArray held;
        qint64 dropped = 0;
        QString closed; // how a step that needs it is told the target closed it
    };
    void runSteps();
    bool runStep(const SequenceStep &step); // false: it goes on asynchronously or failed
    bool send(const QString &packet);
    Connection *linkFor(const PacketTarget &target, QString &why);
    SocketControl *openSocket(const PacketTarget &target, const QString &key, QString &why);
    void follow(SocketControl *sock, const QString &key, bool tcp, int port);
    void awaitOpen(SocketControl *sock, const QString &key, bool tcp);
    void arrived(Connection &link, QByteArrayView bytes);
    bool checkExpect();
    void closed(Connection &link);
    QString arrivedInstead() const;
    QString stepsPassed() const;
    void fail(const QString &why);
    void finish(bool passed, const QString &result);
    QString stepName() const;

    Setup m_setup;
    bool m_running = false;
    bool m_passed = false;
    QString m_result;
    int m_step = 0;
    int m_pass = 0;
    std::pair<int, int> m_announced{-1, -1}; // the step and pass stepStarted last told
    std::map<QString, Connection> m_links;   // by target text
    Connection *m_lastLink = nullptr;
    QTimer m_timer;
    std::optional<SequenceStep> m_waiting; // the expect under way
    std::array<QByteArray, 10> m_captures;
    AutoResponder m_matcher;
    bool m_inSteps = false;
};
