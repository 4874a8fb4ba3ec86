#include "cli/headless_run.h"

#include "cli/stdout_sink.h"
#include "net/socket_control.h"
#include "program/program.h"
#include "program/status_texts.h"
#include "runtime/clock.h"
#include "sender/file_send.h"
#include "sender/repeat_send.h"
#include "sender/send_target.h"
#include "sender/sender.h"

#include <QEventLoop>

// The one-shot send of the run without a screen: a text, a repeat or a file.

int HeadlessRun::send() {
    if (m_line.waitGiven && m_line.waitMs > 0) {
        m_program->sender().setHandshakeLimit(m_line.waitMs);
        m_program->fileSend().setHandshakeLimit(m_line.waitMs);
    }
    if (!m_line.sendFile.isEmpty())
        return sendFile();
    if (m_line.repeat)
        repeatSend();
    else
        m_program->form().btnSendData.Click();
    Sender &sender = m_program->sender();
    if (sender.lastSend().sent() && !waitForDelivery())
        sender.reportSendFailed();
    return endSend(sender.lastSend());
}

// The last-send line (unless a repeat printed it already), then what was received goes out
// within --wait.
int HeadlessRun::endSend(const SendResult &result) {
    if (!result.sent() || lastSendLine(result) != m_printedSend)
        printLine(lastSendLine(result), !result.sent());
    if (!result.why.isEmpty())
        printLine(result.why, true);
    const bool written = flushStdout(m_line.waitMs);
    return result.sent() && written ? 0 : 1;
}

// Each successful send's line as it comes; the last one, or the failure that ended the repeat,
// is printed once it is over.
void HeadlessRun::repeatSend() {
    RepeatSend &repeat = m_program->repeatSend();
    Sender &sender = m_program->sender();
    QEventLoop loop;
    connect(&repeat, &RepeatSend::runningChanged, &loop, [&loop](bool running) {
        if (!running)
            loop.quit();
    });
    connect(&sender, &Sender::lastSendChanged, &loop, [this](const SendResult &result) {
        if (result.sent() && lastSendLine(result) != m_printedSend) {
            m_printedSend = lastSendLine(result);
            printLine(m_printedSend, false);
        }
    });
    if (repeat.start(m_line.intervalMs, *m_line.repeat) && repeat.running())
        loop.exec();
}

// A closed connection goes on delivering what it still holds; the run ends only once all of it
// has left, or --wait has passed.
bool HeadlessRun::waitForDelivery() {
    const SocketControl *sock = m_program->sockets().sendSock;
    waitUntil(
        sock, &SocketControl::DeliveryEnded, [sock] { return sock->Delivering() == 0; },
        m_line.waitMs);
    return sock->Delivering() == 0 && !sock->LostOnClose();
}

// A file goes as a text send does, but without waiting inside the press: the event loop runs
// until the file has gone and the socket has closed.
int HeadlessRun::sendFile() {
    FileSend &file = m_program->fileSend();
    QEventLoop loop;
    connect(&file, &FileSend::finished, &loop, &QEventLoop::quit);
    file.setStallLimit(m_line.waitMs);
    if (!file.start(m_line.sendFile, m_line.sendBlock.value_or(FileSend::DefaultBlock),
                    m_line.maxBytes))
        return 1; // the reason is on stderr already
    if (file.running())
        loop.exec();
    SendResult result = file.result();
    if (result.sent() && !waitForDelivery())
        result = {SendOutcome::SendFailed, m_program->clock().now()};
    return endSend(result);
}
