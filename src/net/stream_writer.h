#pragma once

#include <QByteArray>
#include <QObject>

#include <deque>

class QSocketNotifier;

// What goes out on a stream socket's descriptor (not owned), written by us rather than by Qt's
// socket: Qt's socket closes its descriptor when the peer half-closes and drops what it still
// held, while the peer may well wait for the rest. Queued bytes go out as the system takes them,
// several pieces per call, and the end of the stream follows once asked for and all has gone.
// The amount queued is the caller's to bound.
class StreamWriter final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StreamWriter)

public:
    // The descriptor is made non-blocking. Nothing is written before `start`: a connection still
    // being made has its own watch on the descriptor. What waits then goes from the event loop.
    StreamWriter(int descriptor, QObject *parent);
    void start();

    // Queued after what waits, and once started as much as the system takes goes at once; false
    // when the stream has failed (error() says why) or was closed for writing.
    bool write(const QByteArray &data);
    qint64 bytesToWrite() const { return m_waiting; }
    // Bytes the system has taken in all.
    qint64 bytesTaken() const { return m_taken; }
    // The end of the stream, once what waits has gone.
    void closeWriting();
    bool closingWriting() const { return m_closeWriting; }
    bool writeClosed() const { return m_writeClosed; }
    bool hasFailed() const { return m_error != 0; }
    int error() const { return m_error; } // errno of the failure
    // Nothing more goes out; what waits is dropped.
    void stop();

signals:
    // Some of what waited went out. Not raised while `write` runs: its caller knows.
    void bytesWritten(qint64 bytes);
    // Raised from the event loop, never inside `write`.
    void failed(int error);

private:
    void onWritable();
    // Bytes taken by the system, or -1 when the stream failed.
    qint64 flush();

    int m_descriptor;
    QSocketNotifier *m_notifier = nullptr;
    std::deque<QByteArray> m_out;
    qsizetype m_outOffset = 0;
    qint64 m_waiting = 0;
    qint64 m_taken = 0;
    bool m_closeWriting = false;
    bool m_writeClosed = false;
    int m_error = 0;
};
