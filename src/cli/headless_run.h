#pragma once

#include "cli/command_line.h"
#include "model/listener_state.h"
#include "model/operator_dialogs.h"
#include "runtime/service_notifier.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class ControlServer;
class Program;
class ProxySet;
struct SendResult;
class StdoutSink;

// The program without a screen: the command line is applied to the form as an operator would,
// then Start (or Send Data) is pressed. Everything after that is the program's handlers; this
// class follows the program's state and prints: received bytes on stdout, what the form shows
// on stderr.
// Under a service manager it also tells readiness and status (NOTIFY_SOCKET).
class HeadlessRun final : public QObject, private OperatorDialogs {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HeadlessRun)

public:
    explicit HeadlessRun(const CommandLine &line);
    ~HeadlessRun() override;

    // The exit status. A send returns when it has ended; a listener runs until stop() or until
    // something stops it underneath (1).
    int exec();
    // Stop pressed, then the event loop left with 0 (1 when received bytes could not all be
    // written); a repeated send ends after the send under way.
    void stop();
    // The traffic counters as one line of name=value pairs on stderr, also with --quiet.
    void printStats();

private:
    // Nobody can press OK or pick a folder here: the text goes to stderr and the box is
    // answered.
    void MessageBox(const QString &text) override;
    QString BrowseForFolder(const QString &title) override;
    void TellProblem(const QString &problem) override;

    bool refuseBadSettings();
    bool usesStored(const QString &key) const;
    void applyOptions();
    int listen();
    int send();
    void repeatSend();
    int sendFile();
    int runPackets();
    int listPackets();
    int endSend(const SendResult &result);
    bool waitForDelivery();
    // Runs the event loop until `done` holds, looking again at each `changed` of `source`, for
    // at most `ms` (not at all for 0).
    template <typename Source>
    static void waitUntil(const Source *source, void (Source::*changed)(),
                          const std::function<bool()> &done, int ms) {
        if (ms <= 0 || done())
            return;
        QEventLoop loop;
        connect(source, changed, &loop, [&] {
            if (done())
                loop.quit();
        });
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
    void followState();
    void showState();
    void showTarget();
    QString sendTarget() const;
    void end(int exitCode);
    // Received bytes still waiting for stdout go out within `ms`; what cannot is told once.
    bool flushStdout(int ms);
    void writeChunk(const QByteArray &bytes);
    void stdoutFailed(const QString &reason);
    void printNote(const QString &note, qint64 replyBytes);
    void printLine(const QString &text, bool error);
    bool startControl();

    CommandLine m_line;
    std::unique_ptr<Program> m_program;
    StdoutSink *m_stdout = nullptr;
    ServiceNotifier m_notifier;
    const bool m_journal;
    bool m_listening = false;
    bool m_stdoutFailed = false;
    // The listener's state last shown, and what was printed last of it and of the send target.
    ListenerState m_shownState;
    QString m_status;
    QString m_lastNote; // a status line that only repeats it is not printed again
    QString m_target;
    QString m_printedSend;
    // Both go before the program whose relays' road they take.
    std::unique_ptr<ProxySet> m_proxies;
    std::unique_ptr<ControlServer> m_control;
};
