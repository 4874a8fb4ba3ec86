#include "support/window_fixture.h"

#include <QDir>
#include <QLineEdit>
#include <QTest>

WindowFixture::WindowFixture() {
    m_window = std::make_unique<MainWindow>(options());
}

WindowFixture::~WindowFixture() = default;

WindowOptions WindowFixture::options() {
    WindowOptions options;
    options.program.location = {m_dir.path(), m_dir.filePath(QStringLiteral("config")),
                                m_dir.filePath(QStringLiteral("data"))};
    options.program.clock = &m_clock;
    options.browseForFolder = [this](QWidget *, const QString &) {
        ++pickerCalls;
        return pickedFolder;
    };
    options.reportProblem = [this](const QString &problem) { problems.append(problem); };
    return options;
}

QString WindowFixture::settingsFile() const {
    return m_window->program().settings().settingsFilePath();
}

void WindowFixture::reopen(bool closeFirst) {
    if (closeFirst)
        m_window->close();
    m_window.reset();
    m_window = std::make_unique<MainWindow>(options());
}

bool WindowFixture::showWithFocus(QWidget *control) {
    m_window->show();
    m_window->activateWindow();
    if (!QTest::qWaitForWindowActive(m_window.get()))
        return false;
    control->setFocus();
    return QTest::qWaitFor([control] { return control->hasFocus(); });
}

void WindowFixture::showFullLayout() {
    QLineEdit *port = controls().txtListenPort;
    const QString text = port->text();
    if (showWithFocus(port)) {
        port->end(false);
        QTest::keyClick(port, '~');
    } else {
        m_window->program().Form_KeyPress('~');
    }
    port->setText(text);
}
