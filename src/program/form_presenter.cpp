#include "program/form_presenter.h"

#include "listener/listener.h"
#include "listener/pair_rules.h"
#include "listener/status_monitor.h"
#include "log/receive_log.h"
#include "model/form.h"
#include "program/status_texts.h"
#include "sender/file_send.h"
#include "sender/repeat_send.h"
#include "sender/send_target.h"
#include "sender/sender.h"

FormPresenter::FormPresenter(Form &form, Sources sources, QObject *parent)
    : QObject(parent), m_form(form), m_sources(sources) {
    connect(&sources.listener, &Listener::stateChanged, this, &FormPresenter::showListener);
    connect(&sources.monitor, &StatusMonitor::checked, this, &FormPresenter::showChecked);
    connect(&sources.sender, &Sender::peerReachableChanged, this, &FormPresenter::showSendTarget);
    connect(&sources.sender, &Sender::clientSendChanged, this, &FormPresenter::showSendTarget);
    connect(&sources.sender, &Sender::lastSendChanged, this, &FormPresenter::showLastSend);
    connect(&sources.fileSend, &FileSend::lastSendChanged, this, &FormPresenter::showLastSend);
    connect(&sources.fileSend, &FileSend::clientSendChanged, this, &FormPresenter::showSendTarget);
    connect(&sources.sender, &Sender::sendSocketState, this, &FormPresenter::showSendSocketState);
    connect(&sources.fileSend, &FileSend::sendSocketState, this,
            &FormPresenter::showSendSocketState);
    connect(&sources.repeat, &RepeatSend::runningChanged, this, [this](bool running) {
        m_form.btnSendData.setCaption(running ? QStringLiteral("Stop Repeat") : SendDataCaption);
    });
    connect(&sources.logger, &ReceiveLogger::failureChanged, this, &FormPresenter::showLogFailure);
    connect(&sources.pairRules, &PairRules::pairChecked, this, &FormPresenter::showPairCheck);
    for (int pair = 0; pair < PairCount; ++pair)
        showPairCheck(pair); // compiled before the presenter was there
}

// The status line, Start or Stop, and whether the choices the listener was opened with can be
// changed.
void FormPresenter::showListener() {
    Form &c = m_form;
    const ListenerState &state = m_sources.listener.state();
    const bool open = state.open();
    c.lblStatus[0]->setText(listenerLine(state));
    c.btnConnect.setVisible(!open);
    c.btnDisconnect.setVisible(open);
    c.txtListenPort.setLocked(open);
    c.txtListenPort.setForeColour(open ? ForeColour::GrayText : ForeColour::WindowText);
    for (Control *option : c.optTCP)
        option->setEnabled(!open);
    for (Control *option : c.optReceiveType)
        option->setEnabled(!open);
    showSendTarget();
}

// A closed listener's line says so once a tick has found it closed, unless it holds a failure.
void FormPresenter::showChecked(const MonitorCheck &check) {
    if (check.wasClosed && m_sources.listener.state().phase == ListenerPhase::Idle)
        m_form.lblStatus[0]->setText(NotConnectedLine);
    m_form.lblStatus[1]->setText(monitorLine(check));
}

// Where a press of "Send Data" goes, and whether it can be pressed.
void FormPresenter::showSendTarget() {
    Form &c = m_form;
    const ListenerState &state = m_sources.listener.state();
    const Sender &sender = m_sources.sender;
    const bool reachable = sender.peerReachable();
    c.btnSendData.setEnabled(sendCanStart(state, sender, m_sources.fileSend));
    c.lblSendIP.setText(sendTargetCaption(state, reachable ? sender.peerAddress() : QString()));
    c.txtSendIP.setVisible(!state.openTcp());
}

void FormPresenter::showLayout(FormLayout layout) {
    Form &c = m_form;
    const LayoutHeights heights = layoutHeights(layout);
    c.frmMain.setDesignHeight(heights.form);
    c.txtNetData.setDesignHeight(heights.receivedData);
    const bool full = layout == FormLayout::Full;
    for (Control *control : c.sendAndRespondControls())
        control->setVisible(full);
}

void FormPresenter::showLastSend(const SendResult &result) {
    m_form.lblStatus[2]->setText(lastSendLine(result));
    m_form.lblStatus[2]->setToolTip(result.why);
}

// The box stays red, with the reason as its tool tip, until an entry is written again.
void FormPresenter::showLogFailure(const QString &reason) {
    Control &box = m_form.txtLogPath;
    box.setForeColour(reason.isEmpty() ? ForeColour::Design : ForeColour::Error);
    box.setToolTip(reason);
}

void FormPresenter::showSendSocketState(int state) {
    m_form.lblSendState.setText(QString::number(state));
}

// A pair that cannot be compiled shows it in red with the reason as its tool tip; otherwise the
// watch box's tip tells its options.
void FormPresenter::showPairCheck(int pair) {
    const PairCheck &check = m_sources.pairRules.check(pair);
    Control &watch = *m_form.txtWatchString[pair];
    Control &response = *m_form.txtResponseString[pair];
    watch.setForeColour(check.watchError.isEmpty() ? ForeColour::Design : ForeColour::Error);
    watch.setToolTip(check.watchError.isEmpty() ? check.optionsSummary : check.watchError);
    response.setForeColour(check.responseError.isEmpty() ? ForeColour::Design : ForeColour::Error);
    response.setToolTip(check.responseError);
}
