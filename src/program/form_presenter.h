#pragma once

#include "model/form_layout.h"

#include <QObject>
#include <QString>

class FileSend;
class Form;
class Listener;
class PairRules;
class ReceiveLogger;
class RepeatSend;
class Sender;
class StatusMonitor;
struct MonitorCheck;
struct SendResult;

// The one writer of the form's output controls: the status lines, Start and Stop, the send state
// and target, "Send Data" and the looks of the listener's choices, the log folder box and the
// auto-respond pairs, each
// from the state the subsystems announce. The received-data box is written by the receive path
// itself: nothing here runs per received chunk.
class FormPresenter final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FormPresenter)

public:
    struct Sources {
        Listener &listener;
        StatusMonitor &monitor;
        Sender &sender;
        RepeatSend &repeat;
        FileSend &fileSend;
        ReceiveLogger &logger;
        PairRules &pairRules;
    };
    FormPresenter(Form &form, Sources sources, QObject *parent = nullptr);

    // The form's heights and which of the send and auto-respond controls show.
    void showLayout(FormLayout layout);

private:
    void showListener();
    void showChecked(const MonitorCheck &check);
    void showSendTarget();
    void showLastSend(const SendResult &result);
    void showLogFailure(const QString &reason);
    void showSendSocketState(int state);
    void showPairCheck(int pair);

    Form &m_form;
    Sources m_sources;
};
