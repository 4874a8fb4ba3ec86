#include "support/program_fixture.h"

ProgramFixture::ProgramFixture() {
    reopen(false);
}

ProgramFixture::~ProgramFixture() = default;

ProgramOptions ProgramFixture::options() const {
    ProgramOptions options;
    options.location = {m_dir.path(), m_dir.filePath(QStringLiteral("config")),
                        m_dir.filePath(QStringLiteral("data"))};
    options.clock = &m_clock;
    return options;
}

QString ProgramFixture::settingsFile() const {
    return m_program->settings().settingsFilePath();
}

void ProgramFixture::reopen(bool closeFirst) {
    if (closeFirst && m_program)
        m_program->Form_Unload();
    m_program.reset();
    OperatorDialogs &dialogs = *this;
    m_program = std::make_unique<Program>(dialogs, options());
    m_program->Form_Load();
}

QString ProgramFixture::BrowseForFolder(const QString & /*title*/) {
    ++pickerCalls;
    return pickedFolder;
}
