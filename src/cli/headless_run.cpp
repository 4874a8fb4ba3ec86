#include "cli/headless_run.h"

#include "cli/script_arguments.h"
#include "cli/stdout_sink.h"
#include "control/control_server.h"
#include "control/proxy_set.h"
#include "listener/listener.h"
#include "listener/receive_handler.h"
#include "listener/relay.h"
#include "model/form.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "program/program.h"
#include "program/status_texts.h"
#include "runtime/hex_dump.h"
#include "runtime/shown_text.h"
#include "sender/packets.h"
#include "sender/repeat_send.h"
#include "sender/send_bytes.h"
#include "sender/send_target.h"
#include "sender/sender.h"
#include "settings/setting_keys.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLoggingCategory>

#include <cstdio>

namespace {

// What is left of received bytes when a signal ends the run and nobody reads them: a second
// at most in all.
constexpr int FinalFlushMs = 500;
void writeError(const QByteArray &bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

HeadlessRun::HeadlessRun(const CommandLine &line) : m_line(line), m_journal(underJournal()) {
    if (m_line.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("sendrel.send.info=true"));
    m_stdout = new StdoutSink(1, StdoutSink::DefaultBound, this);
    connect(m_stdout, &StdoutSink::failed, this, &HeadlessRun::stdoutFailed);
    ProgramOptions options;
    options.location = settingsLocation(m_line);
    options.packetsFile = m_line.packetsFile;
    options.faultsFile = m_line.faultsFile;
    options.tellBadSettings = false; // exec() judges them against the options given
    OperatorDialogs &dialogs = *this;
    m_program = std::make_unique<Program>(dialogs, std::move(options));
    Form &form = m_program->form();
    const Sockets sockets = m_program->sockets();
    // A reader that does not keep up stops the reading from the peer, so TCP pushes back.
    connect(m_stdout, &StdoutSink::full, this, [this, sockets] {
        if (m_stdout->dropsWhenFull())
            return;
        sockets.listenSock->setPaused(true);
        sockets.sendSock->setPaused(true);
    });
    connect(m_stdout, &StdoutSink::drained, this, [sockets] {
        sockets.listenSock->setPaused(false);
        sockets.sendSock->setPaused(false);
    });
    connect(&form.txtNetData, &ReceivedData::chunkArrived, this,
            [this](const ReceivedChunk &chunk) { writeChunk(chunk.data); });
    m_program->Form_Load();
}

HeadlessRun::~HeadlessRun() = default;

void HeadlessRun::MessageBox(const QString &text) {
    printLine(text, true);
}

QString HeadlessRun::BrowseForFolder(const QString & /*title*/) {
    return {};
}

void HeadlessRun::TellProblem(const QString & /*problem*/) {
    // Already on stderr.
}

int HeadlessRun::exec() {
    if (m_line.mode == CommandLine::Mode::Packets)
        return runPackets();
    if (refuseBadSettings())
        return 2;
    applyOptions();
    if (m_line.mode == CommandLine::Mode::Send)
        return send();
    const int exitCode = listen();
    if (m_line.stats)
        printStats();
    return exitCode;
}

// A stored value the run would use and cannot is refused as a bad option is: a restart would
// not mend it, so under the service the run ends with 2, which the unit does not restart.
bool HeadlessRun::refuseBadSettings() {
    bool refused = false;
    for (const BadSetting &bad : m_program->badSettings()) {
        if (!usesStored(bad.key))
            continue;
        m_notifier.status(bad.text);
        printLine(bad.text, true);
        refused = true;
    }
    return refused;
}

// Whether the run takes `key` from the settings file: an option given takes its place, and a
// send uses only what shapes a UDP datagram.
bool HeadlessRun::usesStored(const QString &key) const {
    const bool send = m_line.mode == CommandLine::Mode::Send;
    if (send && m_line.tcp.value_or(true))
        return false;
    if (key == SettingName::MulticastInterface)
        return !m_line.interfaceName;
    if (key == SettingName::AllowBroadcast)
        return !m_line.broadcast;
    if (key == SettingName::MulticastTtl)
        return !m_line.ttl;
    if (send)
        return false;
    const std::optional<SettingGroup> group = settingGroup(key);
    if (group == SettingGroup::Tls)
        return !m_line.tls;
    if (key == SettingName::Port)
        return !m_line.port;
    if (key == SettingName::ListenAddress)
        return !m_line.bindAddress;
    if (key == SettingName::MulticastGroups)
        return m_line.groups.isEmpty();
    if (key == SettingName::SendFromListenPort)
        return true;
    if (key == SettingName::UdpReceiveBuffer)
        return !m_line.udpBufferKiB;
    if (group == SettingGroup::Relay)
        return !m_line.relay;
    return m_line.pairs.isEmpty(); // a pair's keys
}

void HeadlessRun::applyOptions() {
    Form &c = m_program->form();
    Configuration &configuration = m_program->configuration();
    NetworkOptions network = configuration.network();
    if (m_line.bindAddress) {
        network.listenAddress = *m_line.bindAddress;
        network.unusableListenAddress.clear();
    }
    if (!m_line.groups.isEmpty())
        network.multicastGroups = m_line.groups;
    if (m_line.interfaceName)
        network.multicastInterface = *m_line.interfaceName;
    if (m_line.broadcast)
        network.allowBroadcast = true;
    if (m_line.ttl)
        network.multicastTtl = *m_line.ttl;
    if (m_line.udpBufferKiB)
        network.udpReceiveBufferKiB = *m_line.udpBufferKiB;
    configuration.setNetwork(network);
    if (m_line.relay) {
        RelayOptions relay = *m_line.relay;
        relay.faults = configuration.relay().faults; // from the faults file
        configuration.setRelay(relay);
    }
    if (m_line.tls
        && (m_line.mode == CommandLine::Mode::Send || (m_line.relay && m_line.relay->targetTls)))
        configuration.setClientTls(*m_line.tls);
    if (m_line.tls && m_line.mode != CommandLine::Mode::Send)
        configuration.setTls(*m_line.tls);
    if (m_line.tls)
        c.optTCP[0]->setValue(1);
    if (m_line.mode == CommandLine::Mode::Send) {
        c.optTCP[m_line.tcp.value_or(true) ? 0 : 1]->setValue(1);
        c.txtSendIP.setText(m_line.sendHost);
        c.txtListenPort.setText(QString::number(m_line.sendPort));
        c.txtSendData.setText(heldSendText(m_line.sendText));
        m_program->sender().setSendAsHex(m_line.hex);
        return;
    }
    if (m_line.tcp)
        c.optTCP[*m_line.tcp ? 0 : 1]->setValue(1);
    if (m_line.port)
        c.txtListenPort.setText(QString::number(*m_line.port));
    if (m_line.http)
        c.optReceiveType[1]->setValue(1);
    if (m_line.logFolder) {
        c.chkLogData.setValue(1);
        c.txtLogPath.setText(*m_line.logFolder);
    }
    if (!m_line.pairs.isEmpty()) {
        for (int i = 0; i < PairCount; ++i) {
            const ResponseRule pair = m_line.pairs.value(i);
            c.txtWatchString[i]->setText(pair.watch);
            c.txtResponseString[i]->setText(pair.response);
            configuration.setPairOptions(i,
                                         {pair.mode, pair.responseHex, pair.lineEnd, pair.delayMs});
        }
    }
    if (!m_line.pairs.isEmpty() || !m_line.fileRules.isEmpty()) {
        configuration.setExtraRules(m_line.fileRules);
        c.chkEnableAutoRespond.setValue(1);
    }
}

int HeadlessRun::listen() {
    Form &c = m_program->form();
    connect(&c.txtNetData, &ReceivedData::noteArrived, this, &HeadlessRun::printNote);
    connect(&m_program->listener(), &Listener::connectionRefused, this,
            [this](const QString &refused, const QString &connected) {
                printLine(QStringLiteral("Refused a connection from ") + refused
                              + (connected.isEmpty()
                                     ? QString()
                                     : QStringLiteral(" while connected to ") + connected),
                          false);
            });
    // Stopping the reading would stop every UDP peer's answers: what stdout cannot take is
    // dropped and counted instead.
    // A relay is never held back by stdout, which has a copy of its bytes only.
    m_stdout->setDropWhenFull(c.optTCP[1]->isOn() || m_program->relay().active()
                              || m_line.controlPort);
    if (const QString error = startRecordingAndScript(*m_program, m_line); !error.isEmpty()) {
        printLine(error, true);
        return 1;
    }
    connect(m_stdout, &StdoutSink::droppingStarted, this, [this] {
        printLine(QStringLiteral("Standard output does not keep up: received bytes are dropped "
                                 "from it until it does (stdout_dropped_bytes counts them)"),
                  true);
    });
    connect(&m_program->listener(), &Listener::connectionAccepted, this,
            [this](const QString &peer) {
                printLine(QStringLiteral("Accepted a connection from ") + peer, false);
            });
    c.btnConnect.Click();
    const ListenerState &state = m_program->listener().state();
    if (!state.open()) {
        printLine(listenerLine(state), true);
        return 1;
    }
    m_shownState = state;
    m_status = listenerLine(state);
    m_target = sendTarget();
    m_listening = true;
    printLine(m_status, false);
    if (m_line.controlPort && !startControl()) {
        m_program->form().btnDisconnect.Click();
        return 1;
    }
    m_notifier.ready();
    followState();
    return QCoreApplication::exec();
}

bool HeadlessRun::startControl() {
    m_proxies = std::make_unique<ProxySet>(*m_program);
    m_control = std::make_unique<ControlServer>(*m_proxies, QStringLiteral(SENDREL_VERSION),
                                                m_line.controlToken);
    const QString where = SocketControl::DisplayEnd(m_line.controlAddress, *m_line.controlPort);
    QString problem;
    if (!m_control->listen(m_line.controlAddress, *m_line.controlPort, problem)) {
        printLine(QStringLiteral("The control API cannot listen on %1: %2").arg(where, problem),
                  true);
        return false;
    }
    printLine(QStringLiteral("Waiting for control API requests on ")
                  + SocketControl::DisplayEnd(m_line.controlAddress, m_control->port()),
              false);
    return true;
}

void HeadlessRun::stop() {
    m_program->repeatSend().stop();
    m_program->packets().stop();
    if (!m_listening)
        return;
    m_listening = false;
    m_notifier.stopping();
    m_program->form().btnDisconnect.Click();
    printLine(listenerLine(m_program->listener().state()), false);
    end(0);
}

bool HeadlessRun::flushStdout(int ms) {
    if (m_stdoutFailed)
        return false;
    if (m_stdout->flush(ms) && !m_stdoutFailed)
        return true;
    if (!m_stdoutFailed)
        printLine(QStringLiteral("%1 received bytes were not written to standard output")
                      .arg(m_stdout->pending()),
                  true);
    return false;
}

// Received bytes still waiting for stdout go first, within a bound, so a signal ends the run
// even when nobody reads them.
void HeadlessRun::end(int exitCode) {
    flushStdout(FinalFlushMs);
    QCoreApplication::exit(m_stdoutFailed || m_stdout->pending() > 0 ? 1 : exitCode);
}

// Each transition is one change, so every change is shown as it is told.
void HeadlessRun::followState() {
    connect(&m_program->listener(), &Listener::stateChanged, this, &HeadlessRun::showState);
    // A restart loses the peer while the new state is being told: the state goes first.
    connect(&m_program->sender(), &Sender::peerReachableChanged, this, [this] {
        if (m_program->listener().state() != m_shownState)
            showState();
        showTarget();
    });
    connect(&m_program->receiveHandler().logger(), &ReceiveLogger::failureChanged, this,
            [this](const QString &reason) {
                if (m_listening && !reason.isEmpty())
                    printLine(reason, true);
            });
}

void HeadlessRun::showState() {
    if (!m_listening)
        return;
    const ListenerState &state = m_program->listener().state();
    m_shownState = state;
    if (!state.open()) { // stopped underneath: a socket error or a failed restart
        m_listening = false;
        printLine(listenerLine(state), true);
        end(1);
        return;
    }
    const QString status = listenerLine(state);
    if (status == m_status)
        return;
    m_status = status;
    if (m_status != m_lastNote)
        printLine(m_status, false);
    else
        m_notifier.status(m_status);
}

void HeadlessRun::showTarget() {
    if (!m_listening || sendTarget() == m_target)
        return;
    m_target = sendTarget();
    printLine(m_target, false);
}

QString HeadlessRun::sendTarget() const {
    const Sender &sender = m_program->sender();
    return sendTargetCaption(m_program->listener().state(),
                             sender.peerReachable() ? sender.peerAddress() : QString());
}

void HeadlessRun::writeChunk(const QByteArray &bytes) {
    m_stdout->write(m_line.hex ? hexDump(bytes) : bytes);
}

// Received bytes that cannot be written are lost to whoever captures them: the run ends.
void HeadlessRun::stdoutFailed(const QString &reason) {
    m_stdoutFailed = true;
    printLine(QStringLiteral("Received data could not be written to standard output: ") + reason,
              true);
    if (m_listening) {
        m_listening = false;
        m_program->form().btnDisconnect.Click();
        end(1);
    }
}

// A long reply note says how big the reply was, the rest being cut.
void HeadlessRun::printNote(const QString &note, qint64 replyBytes) {
    const QString line = oneLine(note);
    m_lastNote = line;
    // Cut on stderr; the received-data box keeps it whole.
    printLine(cutText(line, replyBytes >= 0 ? QStringLiteral("a reply of %1 bytes").arg(replyBytes)
                                            : QStringLiteral("%1 bytes").arg(note.toUtf8().size())),
              false);
}

// Bare pairs, without the status lines' time stamp, so a script can split the line as it is.
void HeadlessRun::printStats() {
    const QString line = trafficLine(m_program->traffic().snapshot())
                         + QStringLiteral(" stdout_dropped_bytes=%1").arg(m_stdout->dropped());
    writeError(errorLine(line, LinePriority::Info, m_journal, {}).toUtf8());
}

void HeadlessRun::printLine(const QString &text, bool error) {
    if (m_listening)
        m_notifier.status(text);
    if (m_line.quiet && !error)
        return;
    writeError(statusLine(text, error, m_journal, QDateTime::currentDateTime()).toUtf8());
}
