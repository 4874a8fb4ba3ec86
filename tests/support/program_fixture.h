#pragma once

#include "model/form.h"
#include "model/operator_dialogs.h"
#include "program/program.h"
#include "support/fake_clock.h"

#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// The program without a window, its program folder a fresh temporary folder (settings file,
// default log folder and both per-user fallbacks inside it), driven by a FakeClock. It answers
// the program's questions itself: the folder picker with `pickedFolder`, message boxes by
// noting their text.
class ProgramFixture final : private OperatorDialogs {
public:
    ProgramFixture();
    ~ProgramFixture() override;

    Program &program() { return *m_program; }
    Form &form() { return m_program->form(); }
    FakeClock &clock() { return m_clock; }
    QString folder() const { return m_dir.path(); }
    QString settingsFile() const;
    ProgramOptions options() const;

    // Starts the program anew on the same folder. The current one is closed first, which
    // saves the settings, or with `closeFirst` false just ended, so a settings file the test
    // wrote is what the new one loads.
    void reopen(bool closeFirst = true);

    QString pickedFolder;
    int pickerCalls = 0;
    QStringList problems; // settings files that could not be read or saved, as told
    QStringList messages; // message boxes, as shown

private:
    void MessageBox(const QString &text) override { messages.append(text); }
    QString BrowseForFolder(const QString &title) override;
    void TellProblem(const QString &problem) override { problems.append(problem); }

    QTemporaryDir m_dir;
    FakeClock m_clock;
    std::unique_ptr<Program> m_program;
};
