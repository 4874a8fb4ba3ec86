#include "cli/headless_run.h"

#include "model/form.h"
#include "program/program.h"
#include "runtime/hex_dump.h"
#include "sender/send_bytes.h"
#include "sender/sender.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>

namespace {

// A multi-line form text as one line of stderr.
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
    ProgramOptions options;
    options.location = settingsLocation(m_line);
    OperatorDialogs &dialogs = *this;
    m_program = std::make_unique<Program>(dialogs, std::move(options));
    ReceivedData &received = m_program->form().txtNetData;
    connect(&received, &ReceivedData::chunkArrived, this,
            [this](const ReceivedChunk &chunk) { writeChunk(chunk.data); });
    m_program->Form_Load();
}

HeadlessRun::~HeadlessRun() = default;

void HeadlessRun::MessageBox(const QString &text) {
    printLine(text, true);
}

QString HeadlessRun::BrowseForFolder(const QString & /*title*/) {
    return {};
}

void HeadlessRun::TellProblem(const QString & /*problem*/) {
    // Already on stderr.
}

int HeadlessRun::exec() {
    applyOptions();
    return m_line.mode == CommandLine::Mode::Send ? send() : listen();
}

void HeadlessRun::applyOptions() {
    Form &c = m_program->form();
    if (m_line.mode == CommandLine::Mode::Send) {
        c.optTCP[m_line.tcp.value_or(true) ? 0 : 1]->setValue(1);
        c.txtSendIP.setText(m_line.sendHost);
        c.txtListenPort.setText(QString::number(m_line.sendPort));
        c.txtSendData.setText(heldSendText(m_line.sendText));
        return;
    }
    if (m_line.tcp)
        c.optTCP[*m_line.tcp ? 0 : 1]->setValue(1);
    if (m_line.port)
        c.txtListenPort.setText(QString::number(*m_line.port));
    if (m_line.http)
        c.optReceiveType[1]->setValue(1);
    if (m_line.logFolder) {
        c.chkLogData.setValue(1);
        c.txtLogPath.setText(*m_line.logFolder);
    }
    if (!m_line.responses.isEmpty()) {
        for (int i = 0; i < PairCount; ++i) {
            const bool given = i < m_line.responses.size();
            c.txtWatchString[i]->setText(given ? m_line.responses[i].first : QString());
            c.txtResponseString[i]->setText(given ? m_line.responses[i].second : QString());
        }
        c.chkEnableAutoRespond.setValue(1);
    }
}

int HeadlessRun::listen() {
    Form &c = m_program->form();
    connect(&c.txtNetData, &ReceivedData::noteArrived, this,
            [this](const QString &note) { printLine(note, false); });
    c.btnConnect.Click();
    // Judged from the buttons, not the text: an error text may stay until the next Start.
    if (!c.btnDisconnect.Visible()) {
        printLine(c.lblStatus[0]->Text(), true);
        return 1;
    }
    m_status = c.lblStatus[0]->Text();
    m_target = c.lblSendIP.Text();
    m_logFailure = c.txtLogPath.toolTip();
    printLine(m_status, false);
    m_listening = true;
    followForm();
    return QCoreApplication::exec();
}

void HeadlessRun::stop() {
    if (!m_listening)
        return;
    m_listening = false;
    Form &c = m_program->form();
    c.btnDisconnect.Click();
    printLine(c.lblStatus[0]->Text(), false);
    QCoreApplication::exit(0);
}

int HeadlessRun::send() {
    m_program->form().btnSendData.Click();
    const SendResult &result = m_program->sender().lastSend();
    printLine(result.text, !result.sent);
    return result.sent ? 0 : 1;
}

// A handler may write a control several times before it returns (a restart shows "Connection
// Closed", then the listening text again); what it leaves is what an operator would see, so the
// form is looked at once the event loop has it back.
void HeadlessRun::followForm() {
    Form &c = m_program->form();
    const auto later = [this] {
        if (m_checkPending)
            return;
        m_checkPending = true;
        QTimer::singleShot(0, this, [this] {
            m_checkPending = false;
            checkForm();
        });
    };
    for (Control *control : {c.lblStatus[0], &c.lblSendIP, &c.txtLogPath, &c.btnDisconnect})
        connect(control, &Control::changed, this, later);
}

void HeadlessRun::checkForm() {
    if (!m_listening)
        return;
    const Form &c = m_program->form();
    if (!c.btnDisconnect.Visible()) { // stopped underneath: a socket error or a failed restart
        m_listening = false;
        printLine(c.lblStatus[0]->Text(), true);
        QCoreApplication::exit(1);
        return;
    }
    if (c.lblStatus[0]->Text() != m_status) {
        m_status = c.lblStatus[0]->Text();
        printLine(m_status, false);
    }
    if (c.lblSendIP.Text() != m_target) {
        m_target = c.lblSendIP.Text();
        printLine(m_target, false);
    }
    if (c.txtLogPath.toolTip() != m_logFailure) {
        m_logFailure = c.txtLogPath.toolTip();
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
