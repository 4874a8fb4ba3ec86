#pragma once

#include "scratch.h"

#include "window/main_window.h"

#include <chrono>
#include <functional>
#include <memory>

class Figures;
class SocketControl;

// The real window, shown offscreen, with its settings and logs kept in a temporary folder in
// memory.
class BenchWindow {
public:
    BenchWindow();
    ~BenchWindow();

    bool valid() const { return m_window != nullptr; }
    // The widgets, and the form model they show.
    Controls &controls() { return m_window->controls(); }
    Form &form() { return m_window->form(); }
    Program &program() { return m_window->program(); }
    SocketControl *element(int index) const;

    // Logs into `folder`, or into the temporary folder's "logs" when none is given.
    void enableLog(const QString &folder = {});
    // Presses Start; answers the port the system chose, or 0 (reported in `figures`) when the
    // listener did not open. The chosen port is written back to the port box, so a restart
    // reopens the same port.
    quint16 start(bool tcp, const Figures &figures);
    // A TCP listener that answers "ping" with "pong" (and CR LF), started as above.
    quint16 startPingResponder(const Figures &figures);

    QString folder(const QString &name) const { return m_dir.filePath(name); }
    QString where() const { return m_dir.description(); }
    QString logFolder() const { return m_logFolder; }
    QString todaysLogFile() const;

    // Runs the window's events until `done` answers true or `timeout` has passed.
    static bool runEventsUntil(const std::function<bool()> &done,
                               std::chrono::milliseconds timeout);
    static void runEventsFor(std::chrono::milliseconds duration);

private:
    ScratchFolder m_dir;
    QString m_logFolder = m_dir.filePath(QStringLiteral("logs"));
    std::unique_ptr<MainWindow> m_window;
};
