#pragma once

#include <QString>
#include <functional>

class Clock;
class Listener;
class ReceiveLog;
struct Controls;
struct ProgramState;

// "%CR%", "%LF%", "%CRLF%" and "%TAB%" replaced, in that order.
QString expandTokens(const QString &text);

// The receive path: show, auto-respond, log, HTTP 404 and reset, record.
class ReceiveHandler {
public:
    ReceiveHandler(Controls &controls, ProgramState &state, Listener &listener, ReceiveLog &log,
                   const Clock &clock);

    void listenSock_DataArrival(int index, qint64 bytesTotal);
    void Command1_Click();

    // For a run without a screen: each chunk as received, each reply note as shown.
    std::function<void(const QByteArray &)> onChunk;
    std::function<void(const QString &)> onReplyNote;

private:
    Controls &m_controls;
    ProgramState &m_state;
    Listener &m_listener;
    ReceiveLog &m_log;
    const Clock &m_clock;
};
