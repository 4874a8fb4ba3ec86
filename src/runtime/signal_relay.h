#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal delivered by the event loop, so the end of
// a session runs the same code as the operator's close. One instance per process; while it
// lives those signals no longer end the program by themselves.
class SignalRelay final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalRelay)

public:
    explicit SignalRelay(QObject *parent = nullptr);
    ~SignalRelay() override;

    // Relays `signalNumber` as well (SIGUSR1 for --stats), until the relay goes.
    void relayToo(int signalNumber);

signals:
    void received(int signalNumber);

private:
    void drain();

    int m_readEnd = -1;
    int m_writeEnd = -1;
    int m_extraSignal = 0;
    QSocketNotifier *m_notifier = nullptr;
};

// Holds `signalNumber` back (blocked, so one that comes stays pending) until releaseSignal: from
// the first moment of a run until its handler is in place, so slow start-up work cannot be
// ended by a signal the run means to handle.
void holdSignal(int signalNumber);
void releaseSignal(int signalNumber);
