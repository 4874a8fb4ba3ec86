#pragma once

#include "listener/relay_way.h"
#include "model/relay_options.h"

#include <QByteArrayView>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class Link;
struct ReceivedChunk;
class RelayBudget;
class RelayStream;
class TlsContext;

// One relayed TCP pair: the listener's peer (the client) and its own connection to the target.
// Bytes go both ways unchanged, each way through its own faults. A side whose other side
// holds more than WaitingBound unsent is not read until that falls to half (TCP then holds the
// sender back), so a pair never holds more than about twice the bound; nor is it read while the
// relay's budget is full. A half-close is passed on
// once what came before it has gone, and the other way keeps flowing; the pair ends when both
// ways have ended, or at once when either side fails or a cut is reached.
class RelayPair final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RelayPair)

public:
    static constexpr qint64 WaitingBound = 1 << 20;
    // What waits only for a latency counts against WaitingBound past this, so that a delay does
    // not cap the link's rate (1 Gbit/s for 100 ms); the relay's budget bounds it all the same.
    static constexpr qint64 DelayedBound = 12 << 20;
    static constexpr int ConnectTimeoutMs = 10000;

    // Each chunk as read, before its way's faults, `up` from the client to the target, with the
    // link it came on; true when it was answered on that link instead of passing on.
    using Record = std::function<bool(ReceivedChunk chunk, Link &from, bool up)>;

    // Takes the client over; connects to the target (over TLS given `targetTls`), reading
    // nothing from the client until then.
    RelayPair(RelayStream *client, const RelayOptions &options, Record record,
              std::shared_ptr<RelayBudget> budget, std::shared_ptr<const TlsContext> targetTls = {},
              QObject *parent = nullptr);
    ~RelayPair() override;

    // The way's own faults from `options`, and the named faults that act now on each way.
    void setFaults(const RelayOptions &options, const QList<Fault> &up = {},
                   const QList<Fault> &down = {});
    // Shown every chunk either way once it went on (or was answered): the named faults' watches.
    void setWatch(std::function<void(QByteArrayView chunk)> watch) { m_watch = std::move(watch); }
    // Adds how often each named fault acted on this pair since this was last asked.
    void takeActs(QMap<QString, qint64> &acts);
    // "address:port", an IPv6 address in brackets.
    QString clientText() const;
    QString targetText() const { return m_targetText; }
    // Closes both sides now.
    void close();

signals:
    // The pair has ended; `note` says why when it is not the ordinary end of both ways.
    void finished(const QString &note);
    // A line for the record while the pair lasts: a side's TLS handshake is done.
    void note(const QString &text);

private:
    void followClient();
    void reachTarget();
    void connectTarget(const QHostAddress &address);
    void targetConnected();
    void wire(RelayStream *from, RelayStream *to, RelayWay *way, bool up);
    void balance();
    void drawQueued();
    void passHalfClose();
    // Whether the close of the way from `reader` may go now; a slow_close fault makes it wait.
    bool closeMayGo(int side, RelayWay *way);
    void end(const QString &note);
    QString lateHandshakeNote(const QString &late, const QString &why) const;

    Record m_record;
    std::function<void(QByteArrayView chunk)> m_watch;
    std::shared_ptr<RelayBudget> m_budget;
    std::shared_ptr<const TlsContext> m_targetTls;
    QPointer<RelayStream> m_client;
    QPointer<RelayStream> m_target;
    RelayWay *m_up;
    RelayWay *m_down;
    QString m_host;
    quint16 m_port = 0;
    QString m_targetText;
    QString m_clientAddress;
    int m_clientPort = 0;
    QString m_targetAddress;
    QTimer m_connectTimer;
    qint64 m_queuedDrawn = 0; // from the budget, for what the sides have still to write
    bool m_ended = false;
    // Each way's close: 0 not yet due, 1 waiting for a slow close, 2 may go.
    int m_closeStep[2] = {0, 0};
};
