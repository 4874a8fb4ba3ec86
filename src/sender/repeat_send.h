#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class Form;
class Sender;

// "Send Data" pressed again and again: at once, then every interval, on whichever path one
// press would take. The sends keep to their schedule, so a short stall of the event loop delays
// a few of them rather than every later one; a send that is still waiting delays the next one
// rather than overlapping it. The repeat ends after its count, at the first send that fails, or
// when stopped; while it runs the button reads "Stop Repeat".
class RepeatSend final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RepeatSend)

public:
    static constexpr int MinIntervalMs = 1;
    static constexpr int MaxIntervalMs = 3'600'000;

    RepeatSend(Form &form, Sender &sender, QObject *parent = nullptr);

    // Count 0: until stopped. False, starting nothing, for an interval out of range, a negative
    // count or a repeat already running.
    bool start(int intervalMs, int count);
    void stop();

    bool running() const { return m_running; }
    int sent() const { return m_sent; }

signals:
    void runningChanged(bool running);
    // After each send the repeat made: how many so far, of `count` (0: until stopped).
    void progressed(int sent, int count);

private:
    void tick();
    bool sendNext();

    Form &m_form;
    Sender &m_sender;
    QTimer m_timer;
    QElapsedTimer m_clock;
    // When the next send is due, in nanoseconds of m_clock.
    qint64 m_nextDue = 0;
    qint64 m_intervalNs = 0;
    bool m_running = false;
    int m_count = 0;
    int m_sent = 0;
};
