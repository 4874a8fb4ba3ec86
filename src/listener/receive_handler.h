#pragma once

#include <QString>
#include <functional>

class Clock;
class Listener;
struct Controls;
struct ProgramState;

// The receive path: show, auto-respond, log, HTTP 404 and reset, record.
class ReceiveHandler {
public:
    // `logReceivedData` appends one chunk to the receive log.
    ReceiveHandler(Controls &controls, ProgramState &state, Listener &listener,
                   std::function<void(const QByteArray &)> logReceivedData, const Clock &clock);

    void listenSock_DataArrival(int index, qint64 bytesTotal);
    void Command1_Click();

    // For a run without a screen: each chunk as received, each reply note as shown.
    std::function<void(const QByteArray &)> onChunk;
    std::function<void(const QString &)> onReplyNote;

private:
    Controls &m_controls;
    ProgramState &m_state;
    Listener &m_listener;
    std::function<void(const QByteArray &)> m_logReceivedData;
    const Clock &m_clock;
};
