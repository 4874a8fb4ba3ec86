#pragma once

#include "model/operator_dialogs.h"
#include "program/program.h"
#include "window/controls.h"
#include "window/text_zoom.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

class PacketMenus;
class SignalRelay;
#include <functional>
#include <memory>

// The system's folder picker, titled `title`, folders only, opening at the top of the file
// system; empty text when cancelled.
QString browseForFolderDialog(QWidget *owner, const QString &title);

// What a test (or an installed copy) may choose; everything else is fixed.
struct WindowOptions {
    ProgramOptions program;
    // The system's folder picker when empty.
    std::function<QString(QWidget *owner, const QString &title)> browseForFolder;
    // Tells the operator of a settings file that cannot be read or saved; a message box when
    // empty.
    std::function<void(const QString &problem)> reportProblem;
    // The end of the session (a signal such as SIGTERM), followed from construction on.
    SignalRelay *sessionEnd = nullptr;
};

// frmMain on screen: the form's widgets, bound to the program's form, with what only a screen
// has: geometry and layouts, key preview, text zoom, menus, message boxes and the folder picker.
class MainWindow final : public QWidget, private OperatorDialogs {
    Q_OBJECT

public:
    explicit MainWindow(WindowOptions options = {});
    ~MainWindow() override;

    // The session ends: any open box or dialog closes, then the window closes as the operator's
    // close does, and the event loop ends with 0, or 1 when the settings could not be saved.
    // What the program would have asked the operator from then on goes to stderr only.
    void endSession();
    // Whether the session ended while the window was still being built; the caller then runs no
    // event loop and ends with closeAfterEnd().
    bool sessionEnded() const { return m_ending; }
    int closeAfterEnd();

    Program &program() { return *m_program; }
    Form &form() { return m_program->form(); }
    Controls &controls() { return m_controls; }

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void MessageBox(const QString &text) override;
    QString BrowseForFolder(const QString &title) override;
    QByteArray AskPassphrase(const QString &keyFile) override;
    void TellProblem(const QString &problem) override;

    void showLayout();
    void showSendBoxMenu(const QPoint &at);
    // The port box's and the send address box's own menu, with "Network Options...".
    void showNetworkMenu(QLineEdit *box, const QPoint &at);
    void openNetworkOptions();
    void openTlsOptions();
    // Opens the repeat dialog, or stops the repeat that runs; only in the full layout, where the
    // send box shows.
    void repeatSend();

    WindowOptions m_options;
    bool m_built = false;
    bool m_ending = false;
    bool m_saveFailed = false;
    std::unique_ptr<Program> m_program;
    Controls m_controls;
    TextZoom *m_textZoom = nullptr;
    PacketMenus *m_packetMenus = nullptr;
    // What the repeat dialog offers next; the last choice, for this session.
    int m_repeatIntervalMs = 1000;
    int m_repeatCount = 0;
    // When the window last painted, and the timer that paints what changed since once a frame
    // has passed.
    QElapsedTimer m_lastPaint;
    QTimer *m_nextPaint = nullptr;
};
