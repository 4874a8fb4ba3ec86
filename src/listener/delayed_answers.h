#pragma once

#include "respond/auto_responder.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <functional>

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
};

// Delayed answers in one queue ordered by when they fall due, then by arrival: nothing waits
// for them, and no answer overtakes one for the same peer that was due earlier or at the same
// time. An answer whose socket closed or opened anew meanwhile (Stop, a peer that left) is
// dropped when its time comes.
class DelayedAnswers {
public:
    using Send = std::function<void(const PendingAnswer &)>;
    explicit DelayedAnswers(Send send);

    void add(PendingAnswer pending);
    // What is already due for `socket` goes first, so an answer without delay keeps its place.
    void sendDue(const SocketControl *socket);
    qsizetype pendingCount() const { return qsizetype(m_entries.size()); }

private:
    struct Entry {
        qint64 due = 0;
        PendingAnswer pending;
    };
    void sendDueFor(const SocketControl *only);
    void arm();

    Send m_send;
    std::deque<Entry> m_entries;
    QElapsedTimer m_clock;
    QTimer m_timer;
};
