#pragma once

#include "respond/auto_responder.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

class SocketControl;

// An answer waiting for its pair's delay, for the socket session the chunk came on.
struct PendingAnswer {
    QPointer<SocketControl> socket;
    quint64 session = 0;
    int index = 0; // the socket's element, for the note
    Answer answer;
    // UDP: the chunk's sender, who gets the answer whoever sent last; null for TCP.
    QHostAddress peer;
    quint16 peerPort = 0;
    // TCP: keeps a peer that half-closed connected until the answer has left.
    std::shared_ptr<void> hold;
};

// Delayed answers in one queue ordered by when they fall due, then by arrival: nothing waits
// for them, and no answer overtakes one for the same peer that was due earlier or at the same
// time. An answer whose socket closed or opened anew meanwhile (Stop, a peer that left) is
// dropped when its time comes, or earlier by dropGone(); so is one for a TCP peer that closed its
// side, unless it falls due within the socket's grace for such a peer.
//
// A peer decides how many answers wait and how big they are, so both are bounded per peer and
// in all; add() refuses what would pass a bound.
class DelayedAnswers {
public:
    static constexpr qint64 PeerBytes = 4 << 20;
    static constexpr qsizetype PeerCount = 1024;
    static constexpr qint64 TotalBytes = 32 << 20;
    static constexpr qsizetype TotalCount = 8192;

    using Send = std::function<void(const PendingAnswer &)>;
    explicit DelayedAnswers(Send send);

    // False when it would pass a bound: the answer is dropped.
    bool add(PendingAnswer pending);
    // What is already due for `socket` goes first, so an answer without delay keeps its place.
    void sendDue(const SocketControl *socket);
    // Lets go of the answers whose socket closed or opened anew since they were queued.
    void dropGone();
    qsizetype pendingCount() const { return qsizetype(m_entries.size()); }
    // What the waiting answers hold, roughly as memory counts it.
    qint64 pendingBytes() const { return m_bytes; }

private:
    struct Usage {
        qint64 bytes = 0;
        qsizetype count = 0;
    };
    struct Entry {
        qint64 due = 0;
        qint64 size = 0;
        QString peerKey;
        PendingAnswer pending;
    };
    static qint64 sizeOf(const PendingAnswer &pending);
    static QString peerKeyOf(const PendingAnswer &pending);
    void release(const Entry &entry);
    void sendDueFor(const SocketControl *only);
    void arm();

    Send m_send;
    std::deque<Entry> m_entries;
    QHash<QString, Usage> m_perPeer;
    qint64 m_bytes = 0;
    QElapsedTimer m_clock;
    QTimer m_timer;
};
