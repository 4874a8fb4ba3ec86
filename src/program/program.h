#pragma once

#include "model/configuration.h"
#include "model/form_layout.h"
#include "model/last_received.h"
#include "model/sockets.h"
#include "model/traffic_counters.h"
#include "settings/fault_file.h"
#include "settings/settings_store.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <functional>
#include <memory>

class Clock;
class FileSend;
class FolderChooser;
class Form;
class FormPresenter;
class Listener;
class OperatorDialogs;
class Packets;
class PcapngWriter;
class ReceiveHandler;
class Relay;
class RepeatSend;
class ScriptRunner;
class SocketArray;
class SocketControl;
class Sender;
class StatusMonitor;

// What a view (or a test) chooses; everything else is fixed.
struct ProgramOptions {
    SettingsLocation location = SettingsLocation::forThisProgram();
    const Clock *clock = nullptr; // the system clock when null
    // Bad stored values are told to the operator at load; a caller that judges them itself
    // (the command line, against its own options) reads badSettings() instead.
    bool tellBadSettings = true;
    // The packet file; empty: Sendrel_Packets.ini beside the settings file.
    QString packetsFile;
    // The relay's named faults; empty: Sendrel_Faults.ini beside the settings file.
    QString faultsFile;
};

// The window's behaviour without the window: the form model, the subsystems that work on it and
// the routing of every control's and socket's event to its handler. The window shows the form
// and passes the operator's actions to it; the command line does the same without a screen.
class Program final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Program)

public:
    // `dialogs` answers what the program asks the operator; it must outlive the program.
    Program(OperatorDialogs &dialogs, ProgramOptions options = {});
    ~Program() override;

    Form &form() { return *m_form; }
    Sockets sockets() const { return {m_listenSock.get(), m_sendSock.get()}; }
    // What came in and went out; the subsystems count, the views look.
    TrafficCounters &traffic() { return m_traffic; }
    // When data last came in and from where.
    const LastReceived &lastReceived() const { return m_lastReceived; }
    // The network options, pair options and rules-file rules; the settings load and save them.
    Configuration &configuration() { return m_configuration; }
    const Clock &clock() const { return *m_clock; }
    SettingsStore &settings() { return m_settings; }
    // The text size of the received-data box and the send box, in percent; a view's option the
    // settings keep.
    int &textZoom() { return m_textZoom; }
    Listener &listener() { return *m_listener; }
    ReceiveHandler &receiveHandler() { return *m_receiveHandler; }
    Sender &sender() { return *m_sender; }
    RepeatSend &repeatSend() { return *m_repeatSend; }
    FileSend &fileSend() { return *m_fileSend; }
    Packets &packets() { return *m_packets; }
    Relay &relay() { return *m_relay; }
    // The status monitor's tick and the send state's.
    QTimer &tmrMain() { return m_tmrMain; }
    QTimer &tmrSendState() { return m_tmrSendState; }

    // Which layout the form shows: the full one as built, the compact one from Form_Load on,
    // the full one again after a "~".
    FormLayout layout() const { return m_layout; }

    // Sizes the form to the compact layout and loads the settings into it.
    void Form_Load();
    // Every character typed anywhere in the window; "~" switches to the full layout, Esc stops
    // a repeat.
    void Form_KeyPress(int key);
    // The window closes: the listener stops, which saves the settings.
    void Form_Unload();

    void saveSettings();
    // The relay's named faults to their file, when they changed since it was read or written.
    void saveFaults();
    // A dialog's OK: `apply` changes the configuration, and only the keys it changed are saved.
    void saveChangesOf(const std::function<void()> &apply);
    // Every chunk from now on also goes to a pcapng capture in `path`; why it cannot, or empty.
    QString startCapture(const QString &path);
    // From now on the script in `path` sees the listener's chunks and peers, each call into it
    // within `timeLimitMs`; why it cannot, or empty. Its faults go to the record and, unless
    // the view shows the record there itself, to stderr.
    QString loadScript(const QString &path, int timeLimitMs, bool faultsOnStderr = true);
    // Null until a script was first loaded.
    ScriptRunner *script() { return m_script.get(); }
    // The stored values the last load could not use.
    const QList<BadSetting> &badSettings() const { return m_badSettings; }
    // A relay's chunks, notes and counts take the road the main relay's take.
    void recordRelay(Relay &relay);

signals:
    void layoutChanged(FormLayout layout);

private:
    void setLayout(FormLayout layout);
    // The settings as the form and the configuration hold them now.
    Settings currentSettings();
    void connectHandlers();
    void connectReceivedRecord();
    void connectSender();
    void connectRelay();
    void connectScript();
    void loadSettings();
    void reportProblem(const QString &problem);

    OperatorDialogs &m_dialogs;
    std::unique_ptr<Clock> m_ownClock;
    const Clock *m_clock = nullptr;
    SettingsStore m_settings;
    std::unique_ptr<Form> m_form;
    Configuration m_configuration;
    std::unique_ptr<SocketArray> m_listenSock;
    std::unique_ptr<SocketControl> m_sendSock;
    TrafficCounters m_traffic;
    LastReceived m_lastReceived;
    int m_textZoom = 100;
    QTimer m_tmrMain;
    QTimer m_tmrSendState;
    QSet<QString> m_reportedProblems;
    QList<BadSetting> m_badSettings;
    FaultFile m_faultFile;
    QString m_faultsProblem;
    bool m_tellBadSettings = true;
    FormLayout m_layout = FormLayout::Full;
    std::unique_ptr<Listener> m_listener;
    std::unique_ptr<ReceiveHandler> m_receiveHandler;
    std::unique_ptr<StatusMonitor> m_statusMonitor;
    std::unique_ptr<Sender> m_sender;
    std::unique_ptr<RepeatSend> m_repeatSend;
    std::unique_ptr<FileSend> m_fileSend;
    std::unique_ptr<Packets> m_packets;
    std::unique_ptr<FolderChooser> m_folderChooser;
    std::unique_ptr<FormPresenter> m_presenter;
    std::unique_ptr<Relay> m_relay;
    std::unique_ptr<PcapngWriter> m_capture;
    std::unique_ptr<ScriptRunner> m_script;
    bool m_scriptFaultsOnStderr = true;
    QPointer<SocketControl> m_scriptPeer; // the connection slot, once the script was told of it
    QMetaObject::Connection m_scriptPeers;
};
