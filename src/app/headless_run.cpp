#include "app/headless_run.h"

#include "app/main_window.h"
#include "form/received_data_box.h"
#include "listener/receive_handler.h"
#include "runtime/hex_dump.h"
#include "sender/sender.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>

namespace {

// A multi-line window text as one line of stderr.
QString oneLine(const QString &text) {
    static const QRegularExpression lineBreaks(QStringLiteral("[\r\n]+"));
    return text.split(lineBreaks, Qt::SkipEmptyParts).join(u' ');
}

void write(std::FILE *stream, const QByteArray &bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

HeadlessRun::HeadlessRun(const CommandLine &line) : m_line(line) {
    if (m_line.quiet)
        QLoggingCategory::setFilterRules(QStringLiteral("sendrel.send.info=false"));
    // Before the window exists: loading its settings may already raise a message box.
    qApp->installEventFilter(this);
    WindowOptions options;
    options.location = settingsLocation(m_line);
    options.reportProblem = [](const QString &) {}; // already on stderr, and nobody to press OK
    m_window = std::make_unique<MainWindow>(std::move(options));
    m_window->receiveHandler().onChunk = [this](const QByteArray &chunk) { writeChunk(chunk); };
    m_window->receiveHandler().onReplyNote = [this](const QString &note) {
        printLine(note, false);
    };
    m_window->sender().onReply = [this](const QByteArray &reply) { writeChunk(reply); };
}

HeadlessRun::~HeadlessRun() {
    qApp->removeEventFilter(this);
}

int HeadlessRun::exec() {
    applyOptions();
    return m_line.mode == CommandLine::Mode::Send ? send() : listen();
}

void HeadlessRun::applyOptions() {
    Controls &c = m_window->controls();
    if (m_line.mode == CommandLine::Mode::Send) {
        c.optTCP[m_line.tcp.value_or(true) ? 0 : 1]->setChecked(true);
        c.txtSendIP->setText(m_line.sendHost);
        c.txtListenPort->setText(QString::number(m_line.sendPort));
        c.txtSendData->setPlainText(m_line.sendText);
        return;
    }
    if (m_line.tcp)
        c.optTCP[*m_line.tcp ? 0 : 1]->setChecked(true);
    if (m_line.port)
        c.txtListenPort->setText(QString::number(*m_line.port));
    if (m_line.http)
        c.optReceiveType[1]->setChecked(true);
    if (m_line.logFolder) {
        c.chkLogData->setCheckState(Qt::Checked);
        c.txtLogPath->setText(*m_line.logFolder);
    }
    if (!m_line.responses.isEmpty()) {
        for (size_t i = 0; i < c.txtWatchString.size(); ++i) {
            const bool given = qsizetype(i) < m_line.responses.size();
            c.txtWatchString[i]->setText(given ? m_line.responses[i].first : QString());
            c.txtResponseString[i]->setText(given ? m_line.responses[i].second : QString());
        }
        c.chkEnableAutoRespond->setCheckState(Qt::Checked);
    }
}

int HeadlessRun::listen() {
    Controls &c = m_window->controls();
    c.btnConnect->click();
    // Judged from the buttons, not the text: an error text may stay until the next Start.
    if (c.btnDisconnect->isHidden()) {
        printLine(c.lblStatus[0]->text(), true);
        return 1;
    }
    m_status = c.lblStatus[0]->text();
    m_target = c.lblSendIP->text();
    m_logFailure = c.txtLogPath->toolTip();
    printLine(m_status, false);
    m_listening = true;
    return QCoreApplication::exec();
}

void HeadlessRun::stop() {
    if (!m_listening)
        return;
    m_listening = false;
    Controls &c = m_window->controls();
    c.btnDisconnect->click();
    printLine(c.lblStatus[0]->text(), false);
    QCoreApplication::exit(0);
}

int HeadlessRun::send() {
    Controls &c = m_window->controls();
    const QString before = c.lblStatus[2]->text();
    c.btnSendData->click();
    const QString after = c.lblStatus[2]->text();
    if (after == before) { // a UDP port that never opened reports in the received-data box
        printLine(c.txtNetData->text(), true);
        return 1;
    }
    const bool failed = after.contains(QStringLiteral(" - ERROR: "));
    printLine(after, failed);
    return failed ? 1 : 0;
}

// The window is looked at before every event that the event loop itself delivers (a timer tick,
// socket activity, a queued call), so a text it shows between two of them is seen, while one set
// and replaced within a handler, which nobody could see, is not. Events that a handler sends on
// the spot (a control shown or hidden) come in the middle of its work and are passed over.
bool HeadlessRun::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::Show) {
        // Nobody can press OK here: the text goes to stderr and the box is answered.
        if (auto *box = qobject_cast<QMessageBox *>(watched)) {
            printLine(box->text(), true);
            QTimer::singleShot(0, box, [box] { box->done(QMessageBox::Ok); });
        }
    }
    const QEvent::Type type = event->type();
    if (m_listening
        && (type == QEvent::Timer || type == QEvent::SockAct || type == QEvent::MetaCall))
        checkWindow();
    return false;
}

void HeadlessRun::checkWindow() {
    const Controls &c = m_window->controls();
    if (c.btnDisconnect->isHidden()) { // stopped underneath: a socket error or a failed restart
        m_listening = false;
        printLine(c.lblStatus[0]->text(), true);
        QCoreApplication::exit(1);
        return;
    }
    if (c.lblStatus[0]->text() != m_status) {
        m_status = c.lblStatus[0]->text();
        printLine(m_status, false);
    }
    if (c.lblSendIP->text() != m_target) {
        m_target = c.lblSendIP->text();
        printLine(m_target, false);
    }
    if (c.txtLogPath->toolTip() != m_logFailure) {
        m_logFailure = c.txtLogPath->toolTip();
        if (!m_logFailure.isEmpty())
            printLine(m_logFailure, true);
    }
}

void HeadlessRun::writeChunk(const QByteArray &bytes) const {
    write(stdout, m_line.hex ? hexDump(bytes) : bytes);
}

void HeadlessRun::printLine(const QString &text, bool error) const {
    if (m_line.quiet && !error)
        return;
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    write(stderr, (stamp + u' ' + oneLine(text) + u'\n').toUtf8());
}
