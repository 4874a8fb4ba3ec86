#pragma once

#include "listener/delayed_answers.h"
#include "listener/pair_rules.h"

#include <QString>

class Clock;
class Form;
class Listener;
class SettingsStore;
class SocketControl;

// The receive path: show, auto-respond, log, HTTP 404 and reset, record.
class ReceiveHandler {
public:
    // Relative log folders are taken from `logBaseFolder`.
    ReceiveHandler(Form &form, Listener &listener, const Clock &clock, QString logBaseFolder);

    void listenSock_DataArrival(int index, qint64 bytesTotal);
    void Command1_Click();

    PairRules &pairRules() { return m_pairRules; }
    const DelayedAnswers &delayedAnswers() const { return m_delayed; }

private:
    void autoRespond(SocketControl *socket, int index, const QByteArray &data,
                     const QDateTime &now);
    // Sends one answer (to `pending.peer` when set, else as SendData does) and notes it.
    void reply(SocketControl *socket, const PendingAnswer &pending);
    void noteReply(const PendingAnswer &pending, bool sent);

    Form &m_form;
    Listener &m_listener;
    const Clock &m_clock;
    QString m_logBaseFolder;
    PairRules m_pairRules;
    DelayedAnswers m_delayed;
};
