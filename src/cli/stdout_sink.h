#pragma once

#include <QByteArray>
#include <QObject>

#include <deque>

class QSocketNotifier;

// Writes the command line's received bytes to a descriptor (stdout by default) without ever
// blocking the event loop: what the descriptor does not take at once waits in a queue and leaves
// when the descriptor can take more.
//
// A pipe, FIFO or terminal is written through a descriptor of its own opened non-blocking on the
// same file, so the shell and other programs sharing the original (a terminal, a pipeline) never
// see O_NONBLOCK; a terminal can stall as well (a paused terminal, flow control). Only when that
// open fails is O_NONBLOCK set on the shared descriptor, and put back when the sink goes. A socket
// is written with per-call non-blocking flags. Regular files and devices such as /dev/null are
// written directly: they do not make a writer wait for a reader.
//
// By default the bound is soft: write() keeps every byte, and full() tells the caller to stop
// reading from the peer, so TCP pushes back on the sender; drained() says it may read again.
// Where stopping the reading would stop more than the output (UDP: answers to every peer), the
// bound can be made hard instead: what comes while the sink is full is dropped and counted. Do not
// delete the sink from a slot connected to its signals (use deleteLater): they may come from inside
// write().
class StdoutSink final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StdoutSink)

public:
    static constexpr qint64 DefaultBound = 4 * 1024 * 1024;

    explicit StdoutSink(int descriptor = 1, qint64 bound = DefaultBound, QObject *parent = nullptr);
    ~StdoutSink() override;

    // Ignored after failed(): the sink then takes nothing more.
    void write(QByteArray bytes);
    // Drop what comes while full instead of keeping it.
    void setDropWhenFull(bool drop) { m_dropWhenFull = drop; }
    bool dropsWhenFull() const { return m_dropWhenFull; }
    // Bytes dropped in all.
    qint64 dropped() const { return m_dropped; }
    // Between full() and drained().
    bool isFull() const { return m_full; }
    // Bytes taken but not yet written.
    qint64 pending() const { return m_pending; }
    // Waits up to timeoutMs for the queue to leave, outside the event loop (for the end of a run);
    // false after a write error or when bytes are still waiting.
    bool flush(int timeoutMs);

signals:
    void full();
    void drained();
    // The first chunk dropped since the sink was last under its bound.
    void droppingStarted();
    // Once, with the system's reason ("No space left on device", "Broken pipe").
    void failed(const QString &reason);

private:
    void openNonBlocking(int descriptor);
    void writeSome();
    void fail(const QString &reason);

    int m_descriptor = -1;
    int m_ownDescriptor = -1; // the non-blocking one opened on the same file, when there is one
    int m_restoreFlags = -1;  // the shared descriptor's flags when O_NONBLOCK had to be set there
    bool m_socket = false;
    qint64 m_bound = DefaultBound;
    std::deque<QByteArray> m_queue;
    qsizetype m_frontWritten = 0; // of m_queue.front()
    qint64 m_pending = 0;
    bool m_full = false;
    bool m_failed = false;
    bool m_dropWhenFull = false;
    bool m_dropping = false;
    qint64 m_dropped = 0;
    QSocketNotifier *m_notifier = nullptr;
};
