#pragma once

#include "support/fake_clock.h"
#include "window/main_window.h"

#include <QTemporaryDir>
#include <memory>

// A window whose program folder is a fresh temporary folder (settings file, default log folder
// and both per-user fallbacks inside it), driven by a FakeClock and a folder picker that
// answers whatever `pickedFolder` holds.
class WindowFixture {
public:
    WindowFixture();
    ~WindowFixture();

    MainWindow &window() { return *m_window; }
    Controls &controls() { return m_window->controls(); }
    Form &form() { return m_window->form(); }
    FakeClock &clock() { return m_clock; }
    QString folder() const { return m_dir.path(); }
    QString settingsFile() const;

    // Opens a new window on the same folder. The current one is closed first, which saves the
    // settings, or with `closeFirst` false just destroyed, so a settings file the test wrote
    // is what the new window loads.
    void reopen(bool closeFirst = true);
    // Shows the window, makes it active and puts the keyboard focus on `control`.
    bool showWithFocus(QWidget *control);
    // Switches to the full layout the way the operator does: a "~" typed into the port box,
    // whose text is then put back.
    void showFullLayout();

    QString pickedFolder;
    int pickerCalls = 0;
    QStringList problems; // settings files that could not be read or saved, as told

private:
    WindowOptions options();

    QTemporaryDir m_dir;
    FakeClock m_clock;
    std::unique_ptr<MainWindow> m_window;
};
