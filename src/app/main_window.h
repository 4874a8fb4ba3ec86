#pragma once

#include "form/controls.h"
#include "form/program_state.h"
#include "log/folder_chooser.h"
#include "settings/settings_store.h"

#include <QSet>
#include <QWidget>
#include <functional>
#include <memory>

class Clock;
class Listener;
class ReceiveHandler;
class Sender;
class StatusMonitor;

// What a test (or an installed copy) may choose; everything else is fixed.
struct WindowOptions {
    SettingsLocation location = SettingsLocation::forThisProgram();
    const Clock *clock = nullptr;           // the system clock when null
    FolderChooser::Browser browseForFolder; // the system's picker when empty
    // Tells the operator of a settings file that cannot be read or saved; a message box when
    // empty. Each problem is told once per run, and always on stderr too.
    std::function<void(const QString &problem)> reportProblem;
};

// frmMain: owns every control, the program-wide values and the subsystems, and routes each
// control's events to its handler.
class MainWindow final : public QWidget {
    Q_OBJECT

public:
    explicit MainWindow(WindowOptions options = {});
    ~MainWindow() override;

    Controls &controls() { return m_controls; }
    ProgramState &state() { return m_state; }
    SettingsStore &settings() { return *m_settings; }
    Listener &listener() { return *m_listener; }
    ReceiveHandler &receiveHandler() { return *m_receiveHandler; }
    Sender &sender() { return *m_sender; }

    void Form_Load();
    void Form_KeyPress(int key);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void connectHandlers();
    void loadSettings();
    void saveSettings();
    void logReceivedData(const QByteArray &data);
    void reportProblem(const QString &problem);
    void showSendBoxMenu(const QPoint &at);

    std::unique_ptr<Clock> m_ownClock;
    const Clock *m_clock = nullptr;
    Controls m_controls;
    ProgramState m_state;
    std::unique_ptr<SettingsStore> m_settings;
    std::function<void(const QString &)> m_reportProblem;
    QSet<QString> m_reportedProblems;
    std::unique_ptr<Listener> m_listener;
    std::unique_ptr<ReceiveHandler> m_receiveHandler;
    std::unique_ptr<StatusMonitor> m_statusMonitor;
    std::unique_ptr<Sender> m_sender;
    std::unique_ptr<FolderChooser> m_folderChooser;
};
