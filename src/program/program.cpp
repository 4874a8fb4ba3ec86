#include "program/program.h"

#include "listener/listener.h"
#include "listener/receive_handler.h"
#include "listener/relay.h"
#include "listener/status_monitor.h"
#include "log/folder_chooser.h"
#include "log/pcapng_writer.h"
#include "model/form.h"
#include "model/operator_dialogs.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "net/tls_context.h"
#include "program/form_presenter.h"
#include "program/status_texts.h"
#include "runtime/clock.h"
#include "script/script_runner.h"
#include "sender/file_send.h"
#include "sender/packets.h"
#include "sender/repeat_send.h"
#include "sender/sender.h"
#include "settings/setting_keys.h"
#include "settings/settings_form.h"

#include <QDebug>
#include <QDir>

#include <utility>

namespace {

constexpr int KeyTilde = 126;
constexpr int KeyEscape = 27;
constexpr int TimerIntervalMs = 100;

} // namespace

Program::Program(OperatorDialogs &dialogs, ProgramOptions options)
    : m_dialogs(dialogs), m_settings(std::move(options.location)), m_form(std::make_unique<Form>()),
      m_tellBadSettings(options.tellBadSettings) {
    if (options.clock) {
        m_clock = options.clock;
    } else {
        m_ownClock = std::make_unique<SystemClock>();
        m_clock = m_ownClock.get();
    }
    m_listenSock = std::make_unique<SocketArray>();
    m_listenSock->setObjectName(QStringLiteral("listenSock"));
    m_sendSock = std::make_unique<SocketControl>();
    m_sendSock->setObjectName(QStringLiteral("sendSock"));
    const Sockets sockets = this->sockets();
    m_listener = std::make_unique<Listener>(*m_form, sockets, m_traffic, m_configuration, *m_clock,
                                            m_lastReceived, [this] { saveSettings(); });
    m_listener->setPassphraseSource(
        [this](const QString &keyFile) { return m_dialogs.AskPassphrase(keyFile); });
    m_receiveHandler =
        std::make_unique<ReceiveHandler>(*m_form, sockets, m_traffic, m_configuration, *m_listener,
                                         *m_clock, m_lastReceived, m_settings.logBaseFolder());
    m_statusMonitor = std::make_unique<StatusMonitor>(m_lastReceived, sockets, *m_listener);
    m_sender = std::make_unique<Sender>(*m_form, sockets, m_traffic, m_configuration, *m_clock,
                                        m_dialogs, m_listener->state());
    m_repeatSend = std::make_unique<RepeatSend>(*m_form, *m_sender);
    m_fileSend = std::make_unique<FileSend>(*m_form, sockets, m_traffic, m_configuration, *m_clock,
                                            m_dialogs, m_listener->state());
    m_folderChooser = std::make_unique<FolderChooser>(*m_form, m_dialogs);
    m_packets = std::make_unique<Packets>(*m_form, sockets, *m_clock, m_configuration);
    m_packets->load(options.packetsFile.isEmpty()
                        ? PacketBook::besideSettings(m_settings.settingsFilePath())
                        : options.packetsFile);
    m_faultFile.load(options.faultsFile.isEmpty()
                         ? FaultFile::besideSettings(m_settings.settingsFilePath())
                         : options.faultsFile,
                     &m_faultsProblem);
    m_relay = std::make_unique<Relay>();
    for (QTimer *timer : {&m_tmrMain, &m_tmrSendState}) {
        timer->setInterval(TimerIntervalMs);
        timer->start();
    }
    m_tmrMain.setObjectName(QStringLiteral("tmrMain"));
    m_tmrSendState.setObjectName(QStringLiteral("tmrSendState"));
    // Connected before loading, so the saved port text goes through the port box's own rule.
    connectHandlers();
    m_presenter = std::make_unique<FormPresenter>(
        *m_form,
        FormPresenter::Sources{*m_listener, *m_statusMonitor, *m_sender, *m_repeatSend, *m_fileSend,
                               m_receiveHandler->logger(), m_receiveHandler->pairRules()});
    connect(this, &Program::layoutChanged, m_presenter.get(), &FormPresenter::showLayout);
}

Program::~Program() {
    // The form outlives the handlers; nothing it emits while going may reach one.
    m_form->disconnect(this);
    m_configuration.disconnect(this);
    m_listenSock->disconnect(this);
    m_sendSock->disconnect(this);
    for (QObject *child : m_form->children())
        child->disconnect(this);
    disconnect(m_scriptPeers);
    m_receiveHandler->setScript(nullptr);
}

// What else arrives or is noted goes into the received-data record through its one writer.
void Program::connectReceivedRecord() {
    ReceiveHandler *receiver = m_receiveHandler.get();
    connect(m_listener.get(), &Listener::recordNote, this,
            [receiver](const QString &text) { receiver->recordNote(text); });
    connect(m_sender.get(), &Sender::replyArrived, this,
            [receiver](const ReceivedChunk &chunk) { receiver->recordReply(chunk); });
    connect(m_sender.get(), &Sender::recordReplaced, this, [receiver](const SendResult &result) {
        receiver->replaceRecord(lastSendLine(result));
    });
    connect(
        m_fileSend.get(), &FileSend::recordReplaced, this,
        [receiver](const SendResult &result) { receiver->replaceRecord(lastSendLine(result)); });
}

// Send Data, the send-state tick and the client socket.
void Program::connectSender() {
    Form &c = *m_form;
    Sender *sender = m_sender.get();
    // While a repeat runs the button stops it.
    connect(&c.btnSendData, &Control::clicked, this, [sender, repeat = m_repeatSend.get()] {
        if (repeat->running())
            repeat->stop();
        else
            sender->btnSendData_Click();
    });
    connect(m_listener.get(), &Listener::stateChanged, sender,
            [sender](const ListenerState &state) { sender->listenerChanged(state); });
    connect(&m_tmrSendState, &QTimer::timeout, this, [sender] { sender->tmrSendState_Timer(); });
    connect(m_sendSock.get(), &SocketControl::DataArrival, this,
            [sender](qint64 bytesTotal) { sender->sendSock_DataArrival(bytesTotal); });
    connect(m_sendSock.get(), &SocketControl::Error, this,
            [sender](int number, const QString &description, const QString &source) {
                sender->sendSock_Error(number, description, source);
            });
    connect(&c.btnClearSendData, &Control::clicked, this,
            [sender] { sender->btnClearSendData_Click(); });
}

// Relay mode: the relay takes the listener's peers while a target is set, and its chunks and
// notes go to the record; the listener's waiting text tells the pairs open.
void Program::recordRelay(Relay &relay) {
    ReceiveHandler *receiver = m_receiveHandler.get();
    relay.setRecord([receiver](ReceivedChunk chunk, Link &from, bool up) {
        return receiver->take(std::move(chunk), &from,
                              up ? ChunkRoute::RelayedUp : ChunkRoute::RelayedDown);
    });
    connect(&relay, &Relay::note, this, [receiver](const QString &text) {
        receiver->recordNote(QStringLiteral("\r\n") + text + QStringLiteral("\r\n"));
    });
    connect(&relay, &Relay::refusedOne, this, [this] { m_traffic.countRelayRefused(); });
    connect(&relay, &Relay::droppedOne, this, [this] { m_traffic.countRelayDropped(); });
    connect(&relay, &Relay::faultsActed, this, [this](const QMap<QString, qint64> &acts) {
        for (auto act = acts.cbegin(); act != acts.cend(); ++act)
            m_traffic.countFaultActs(act.key(), act.value());
    });
}

void Program::connectRelay() {
    Relay *relay = m_relay.get();
    Listener *listener = m_listener.get();
    const auto showStatus = [this, relay, listener] {
        listener->setRelay(relay->options(), relay->pairsOpen());
    };
    connect(&m_configuration, &Configuration::relayChanged, this, [this, relay, showStatus] {
        relay->setOptions(m_configuration.relay());
        m_traffic.setRelaying(relay->active());
        showStatus();
    });
    connect(relay, &Relay::pairsChanged, this, showStatus);
    recordRelay(*relay);
    // The target side's TLS is read at each Start, as the listener's own is (kept while its
    // files are unchanged), and when it is turned on while listening.
    const auto secureRelay = [this, relay, listener] {
        const ListenerState &state = listener->state();
        std::shared_ptr<const TlsContext> target;
        if (state.openTcp() && relay->active() && relay->options().targetTls) {
            QString problem;
            target = TlsContext::load(m_configuration.clientTls(), TlsContext::Role::Client,
                                      problem, relay->targetTls());
            if (!target) {
                listener->fail({ListenerReason::Kind::RelayTlsUnusable, {}, problem});
                return;
            }
        }
        relay->setTls(listener->tlsContext(), target);
    };
    connect(&m_configuration, &Configuration::relayChanged, this, secureRelay);
    // A restart closes the pairs as a Stop does.
    connect(listener, &Listener::stateChanged, relay,
            [relay, secureRelay, starts = 0](const ListenerState &state) mutable {
                if (!state.open() || std::exchange(starts, state.starts) != state.starts)
                    relay->closeAll();
                if (state.open())
                    secureRelay();
            });
}

void Program::connectHandlers() {
    Form &c = *m_form;
    Listener *listener = m_listener.get();
    ReceiveHandler *receiver = m_receiveHandler.get();
    StatusMonitor *monitor = m_statusMonitor.get();
    FolderChooser *chooser = m_folderChooser.get();

    connect(&c.btnConnect, &Control::clicked, this, [listener] { listener->btnConnect_Click(); });
    connect(&c.btnDisconnect, &Control::clicked, this,
            [listener] { listener->btnDisconnect_Click(); });
    connect(&c.txtListenPort, &Control::Change, this,
            [listener] { listener->txtListenPort_Change(); });
    connect(m_listenSock.get(), &SocketArray::ConnectionRequest, this,
            [listener, relay = m_relay.get()](int index, qintptr requestID) {
                if (relay->active() && index == 0)
                    relay->takeRequest(requestID);
                else
                    listener->listenSock_ConnectionRequest(index, requestID);
            });
    connect(m_listenSock.get(), &SocketArray::Error, this,
            [listener](int index, int number, const QString &description, const QString &source) {
                listener->listenSock_Error(index, number, description, source);
            });
    connect(m_listenSock.get(), &SocketArray::DataArrival, this,
            [this, receiver](int index, qint64 bytesTotal) {
                SocketControl *udp = m_listenSock->element(0);
                if (m_relay->active() && index == 0
                    && udp->Protocol() == SocketControl::UdpProtocol)
                    m_relay->takeDatagram(udp);
                else
                    receiver->listenSock_DataArrival(index, bytesTotal);
            });
    connect(m_listenSock.get(), &SocketArray::Secured, this,
            [listener](int index) { listener->listenSock_Secured(index); });
    connect(m_listenSock.get(), &SocketArray::SecureNote, this,
            [listener](int index, const QString &text, bool peerDropped) {
                listener->listenSock_SecureNote(index, text, peerDropped);
            });
    connect(&c.Command1, &Control::clicked, this, [receiver] { receiver->Command1_Click(); });
    connectReceivedRecord();
    // The tick that lets a peer that left go takes its delayed answers with it.
    connect(&m_tmrMain, &QTimer::timeout, this, [monitor, receiver] {
        monitor->tmrMain_Timer();
        receiver->dropGoneAnswers();
        receiver->countSystemDrops();
    });
    connectSender();
    connectRelay();
    connect(&c.btnLogLocation, &Control::clicked, this,
            [chooser] { chooser->btnLogLocation_Click(); });
    // Auto-respond rules are compiled as the pairs change, not per chunk.
    PairRules *rules = &receiver->pairRules();
    for (int pair = 0; pair < PairCount; ++pair) {
        for (Control *box : {c.txtWatchString[pair], c.txtResponseString[pair]})
            connect(box, &Control::Change, this, [rules, pair] { rules->pairChanged(pair); });
    }
    connect(&m_configuration, &Configuration::pairOptionsChanged, this,
            [rules](int pair) { rules->pairChanged(pair); });
    connect(&m_configuration, &Configuration::extraRulesChanged, this,
            [rules] { rules->extraRulesChanged(); });
}

void Program::Form_Load() {
    setLayout(FormLayout::Compact);
    loadSettings();
}

void Program::Form_KeyPress(int key) {
    if (key == KeyEscape)
        m_repeatSend->stop();
    if (key == KeyTilde)
        setLayout(FormLayout::Full);
}

void Program::setLayout(FormLayout layout) {
    if (layout == m_layout)
        return;
    m_layout = layout;
    emit layoutChanged(layout);
}

void Program::Form_Unload() {
    m_listener->Form_Unload();
}

void Program::loadSettings() {
    Settings loaded = m_settings.LoadSettings();
    loaded.relay.faults = m_faultFile.faults(); // kept in a file of their own
    showSettings(*m_form, m_configuration, loaded);
    m_sender->setSendAsHex(loaded.sendAsHex);
    m_textZoom = loaded.textZoom;
    reportProblem(m_settings.problem());
    reportProblem(m_faultsProblem);
    m_badSettings = loaded.badValues;
    QStringList bad;
    // The port box keeps any number, as the program itself saves it, and Start tells the rest.
    for (const BadSetting &value : std::as_const(m_badSettings))
        if (value.key != SettingName::Port)
            bad.append(value.text);
    if (m_tellBadSettings && !bad.isEmpty())
        reportProblem(QStringLiteral("The settings file holds values this program "
                                     "cannot use:\r\n")
                      + bad.join(QStringLiteral("\r\n")));
}

Settings Program::currentSettings() {
    Settings settings = settingsFromForm(*m_form, m_configuration);
    settings.sendAsHex = m_sender->sendAsHex();
    settings.textZoom = m_textZoom;
    return settings;
}

void Program::saveSettings() {
    m_settings.SaveSettings(currentSettings());
    reportProblem(m_settings.problem());
}

void Program::saveChangesOf(const std::function<void()> &apply) {
    const Settings before = currentSettings();
    apply();
    m_settings.SaveChanges(before, currentSettings());
    reportProblem(m_settings.problem());
}

void Program::saveFaults() {
    const QList<Fault> &faults = m_configuration.relay().faults;
    if (faults == m_faultFile.faults())
        return;
    QString problem;
    if (!m_faultFile.save(faults, &problem))
        reportProblem(QStringLiteral("The faults file %1 cannot be saved: %2")
                          .arg(QDir::toNativeSeparators(m_faultFile.path()), problem));
}

// A settings file that cannot be read or saved is told once per run: on stderr, and to the
// operator.
void Program::reportProblem(const QString &problem) {
    if (problem.isEmpty() || m_reportedProblems.contains(problem))
        return;
    m_reportedProblems.insert(problem);
    qWarning().noquote() << problem;
    m_dialogs.TellProblem(problem);
}

QString Program::startCapture(const QString &path) {
    m_receiveHandler->setCapture(nullptr);
    m_capture = std::make_unique<PcapngWriter>();
    if (!m_capture->open(path))
        return m_capture->error();
    m_receiveHandler->setCapture(m_capture.get());
    return {};
}
