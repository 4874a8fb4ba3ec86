#include "listener/relay_pair.h"

#include "listener/relay_budget.h"
#include "model/received_entries.h"
#include "net/relay_stream.h"
#include "net/socket_control.h"
#include "runtime/host_port.h"

#include <QDateTime>
#include <QHostInfo>

#include <algorithm>

RelayPair::RelayPair(RelayStream *client, const RelayOptions &options, Record record,
                     std::shared_ptr<RelayBudget> budget,
                     std::shared_ptr<const TlsContext> targetTls, QObject *parent)
    : QObject(parent), m_record(std::move(record)), m_budget(std::move(budget)),
      m_targetTls(std::move(targetTls)), m_client(client), m_host(options.targetHost),
      m_port(options.targetPort), m_targetText(options.targetText()) {
    client->setParent(this);
    client->setReading(false);
    m_clientAddress = SocketControl::DisplayAddress(client->peerAddress());
    m_clientPort = client->peerPort();
    m_up = new RelayWay(
        false, [this](const QByteArray &data) { m_target->write(data); }, m_budget, this);
    m_down = new RelayWay(
        false, [this](const QByteArray &data) { m_client->write(data); }, m_budget, this);
    // Queued: room comes back while some way is giving its bytes back.
    connect(m_budget.get(), &RelayBudget::roomAgain, this, &RelayPair::balance,
            Qt::QueuedConnection);
    setFaults(options);
    for (RelayWay *way : {m_up, m_down}) {
        connect(way, &RelayWay::released, this, [this] {
            balance();
            passHalfClose();
        });
        connect(way, &RelayWay::cutReached, this, [this, way] {
            end(QStringLiteral("Relay: %1 cut after %2 bytes %3")
                    .arg(clientText())
                    .arg(way->passed())
                    .arg(way == m_up ? QStringLiteral("to ") + m_targetText
                                     : QStringLiteral("from ") + m_targetText));
        });
        connect(way, &RelayWay::endedBy, this, [this](const QString &fault, const QString &action) {
            end(QStringLiteral("Relay: %1 -> %2 closed by the fault %3 (%4)")
                    .arg(clientText(), m_targetText, fault, action));
        });
        connect(way, &RelayWay::resetBy, this, [this](const QString &fault, const QString &action) {
            for (RelayStream *stream : {m_client.data(), m_target.data()}) {
                if (stream) {
                    stream->disconnect(this);
                    stream->reset();
                }
            }
            end(QStringLiteral("Relay: %1 -> %2 reset by the fault %3 (%4)")
                    .arg(clientText(), m_targetText, fault, action));
        });
    }
    followClient();
    reachTarget();
}

void RelayPair::followClient() {
    connect(m_client, &RelayStream::failed, this, [this](const WinsockError &error) {
        end(QStringLiteral("Relay: %1 closed: %2").arg(clientText(), failureText(error)));
    });
    connect(m_client, &RelayStream::secured, this, [this](const QString &summary) {
        emit note(QStringLiteral("Relay: %1 secured: %2").arg(clientText(), summary));
    });
    connect(m_client, &RelayStream::tlsFailed, this, [this](const QString &why) {
        if (m_client->handshakeTimedOut())
            end(lateHandshakeNote(clientText(), why));
        else
            end(QStringLiteral("Relay: %1 closed: TLS failed: %2").arg(clientText(), why));
    });
}

// The target is connected to at once, or once its name is looked up, within a bounded time.
void RelayPair::reachTarget() {
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        end(QStringLiteral("Relay: %1 closed: the target %2 did not answer: %3")
                .arg(clientText(), m_targetText, failureText(winsockError(10060))));
    });
    m_connectTimer.start(ConnectTimeoutMs);
    const QHostAddress literal(m_host);
    if (!literal.isNull()) {
        connectTarget(literal);
        return;
    }
    QHostInfo::lookupHost(m_host, this, [this](const QHostInfo &info) {
        if (info.addresses().isEmpty())
            end(QStringLiteral("Relay: %1 closed: the target %2 was not found: %3")
                    .arg(clientText(), m_targetText, failureText(winsockError(11001))));
        else
            connectTarget(info.addresses().constFirst());
    });
}

RelayPair::~RelayPair() {
    // The ways give their bytes back as they go, after this part of the pair has gone.
    m_budget->disconnect(this);
    m_budget->give(m_queuedDrawn);
}

QString RelayPair::clientText() const {
    return joinHostPort(m_clientAddress, m_clientPort);
}

// Both ends, and the one that did not finish its handshake in time.
QString RelayPair::lateHandshakeNote(const QString &late, const QString &why) const {
    return QStringLiteral("Relay: %1 -> %2 closed: TLS handshake with %3 %4")
        .arg(clientText(), m_targetText, late, why);
}

void RelayPair::setFaults(const RelayOptions &options, const QList<Fault> &up,
                          const QList<Fault> &down) {
    m_up->setFaults(options.up, up);
    m_down->setFaults(options.down, down);
    // What waited may have gone at once, which nothing else would tell.
    balance();
    passHalfClose();
}

void RelayPair::connectTarget(const QHostAddress &address) {
    if (m_ended)
        return;
    m_targetAddress = SocketControl::DisplayAddress(address);
    m_target = RelayStream::connectTo(address, m_port, this, m_targetTls, m_host);
    connect(m_target, &RelayStream::secured, this, [this](const QString &summary) {
        emit note(
            QStringLiteral("Relay: %1 -> %2 secured: %3").arg(clientText(), m_targetText, summary));
    });
    connect(m_target, &RelayStream::tlsFailed, this, [this](const QString &why) {
        if (m_target->handshakeTimedOut())
            end(lateHandshakeNote(m_targetText, why));
        else
            end(QStringLiteral("Relay: %1 closed: TLS with the target %2 failed: %3")
                    .arg(clientText(), m_targetText, why));
    });
    connect(m_target, &RelayStream::connected, this, &RelayPair::targetConnected);
    connect(m_target, &RelayStream::failed, this, [this](const WinsockError &error) {
        if (m_target->isConnected())
            end(QStringLiteral("Relay: %1 closed: the target %2 ended: %3")
                    .arg(clientText(), m_targetText, failureText(error)));
        else
            end(QStringLiteral("Relay: %1 closed: the target %2 could not be reached: %3")
                    .arg(clientText(), m_targetText, failureText(error)));
    });
}

void RelayPair::targetConnected() {
    m_connectTimer.stop();
    wire(m_client, m_target, m_up, true);
    wire(m_target, m_client, m_down, false);
    m_client->setReading(true);
    m_target->setReading(true);
}

void RelayPair::wire(RelayStream *from, RelayStream *to, RelayWay *way, bool up) {
    connect(from, &RelayStream::received, this, [this, from, way, up](const QByteArray &data) {
        ReceivedChunk chunk{data, QDateTime::currentDateTime(), {}, 0, {}, 0};
        const QString target = m_targetAddress;
        const int targetPort = m_target->peerPort();
        chunk.peerAddress = up ? m_clientAddress : target;
        chunk.peerPort = up ? m_clientPort : targetPort;
        chunk.toAddress = up ? target : m_clientAddress;
        chunk.toPort = up ? targetPort : m_clientPort;
        WayPiece piece{data, {}};
        chunk.faultNote = way->judge(piece);
        if (!m_record(std::move(chunk), *from, up)) // answered: the other side never sees it
            way->push(std::move(piece));
        if (m_watch)
            m_watch(data);
        balance();
    });
    connect(from, &RelayStream::readEnded, this, &RelayPair::passHalfClose);
    connect(to, &RelayStream::bytesWritten, this, [this] {
        balance();
        passHalfClose();
    });
}

// Each side is read only while the other side can take more and the relay's budget has room.
void RelayPair::balance() {
    drawQueued();
    if (m_ended || !m_target || !m_target->isConnected())
        return;
    const bool full = m_budget->full();
    const auto update = [full](RelayStream *from, RelayStream *to, RelayWay *way) {
        const qint64 waiting =
            way->held() - std::min(way->delayedHeld(), DelayedBound) + to->bytesToWrite();
        if (waiting > WaitingBound || full)
            from->setReading(false);
        else if (waiting <= WaitingBound / 2)
            from->setReading(true);
    };
    update(m_client, m_target, m_up);
    update(m_target, m_client, m_down);
}

void RelayPair::drawQueued() {
    qint64 queued = 0;
    for (const RelayStream *side : {m_client.data(), m_target.data()})
        queued += side ? side->bytesToWrite() : 0;
    m_budget->redraw(m_queuedDrawn, queued);
}

void RelayPair::passHalfClose() {
    if (m_ended || !m_target || !m_target->isConnected())
        return;
    if (m_client->atEnd() && m_up->held() == 0 && closeMayGo(0, m_up))
        m_target->closeWriting();
    if (m_target->atEnd() && m_down->held() == 0 && closeMayGo(1, m_down))
        m_client->closeWriting();
    if (m_client->writeClosed() && m_target->writeClosed())
        end({});
}

bool RelayPair::closeMayGo(int side, RelayWay *way) {
    int &step = m_closeStep[side];
    if (step == 0) {
        const int delay = way->delayClose();
        step = delay > 0 ? 1 : 2;
        if (delay > 0)
            QTimer::singleShot(delay, this, [this, &step] {
                step = 2;
                passHalfClose();
            });
    }
    return step == 2;
}

void RelayPair::takeActs(QMap<QString, qint64> &acts) {
    m_up->takeActs(acts);
    m_down->takeActs(acts);
}

void RelayPair::close() {
    end({});
}

void RelayPair::end(const QString &note) {
    if (m_ended)
        return;
    m_ended = true;
    m_connectTimer.stop();
    for (RelayStream *stream : {m_client.data(), m_target.data()}) {
        if (stream) {
            stream->disconnect(this);
            stream->close();
        }
    }
    drawQueued(); // nothing: the sides closed
    emit finished(note);
}
