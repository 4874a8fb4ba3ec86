#include "listener/receive_handler.h"

#include "listener/listener.h"
#include "log/receive_log.h"
#include "model/form.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "runtime/clock.h"
#include "runtime/date_time_text.h"
#include "runtime/tokens.h"

#include <QPointer>

namespace {

const QByteArray HttpNotFoundReply =
    QByteArrayLiteral("HTTP/1.0 404 Not Found\r\nServer: KVX Sendrel HTTP Server\r\n\r\n");
const QString CrLf = QStringLiteral("\r\n");

// True when the chunk should replace the box: more than the append window since the previous
// chunk, or a tick difference that does not fit in 32 bits.
bool startsAfresh(qint32 now, qint32 lastReceiveTick, qint32 appendWindowMs) {
    qint32 elapsed = 0;
    if (qSubOverflow(now, lastReceiveTick, &elapsed))
        return true;
    return elapsed > appendWindowMs;
}

// The box's note of an auto-reply: what was sent, or that nothing was, and why.
QString noteReply(const SocketControl *socket, bool sent, const QString &watch,
                  const QString &reply, int index) {
    const QString onSock = QStringLiteral(" On Sock:") + QString::number(index) + CrLf;
    if (sent)
        return CrLf + QStringLiteral("Replied to ") + watch + QStringLiteral(" with:") + CrLf
               + reply + onSock;
    const QString reason =
        socket ? socket->LastSendError() : QStringLiteral("10057 - Socket is not connected.");
    return CrLf + QStringLiteral("Reply to ") + watch + QStringLiteral(" not sent: ") + reason
           + onSock;
}

} // namespace

ReceiveHandler::ReceiveHandler(Form &form, Listener &listener, const Clock &clock,
                               QString logBaseFolder)
    : m_form(form), m_listener(listener), m_clock(clock),
      m_logBaseFolder(std::move(logBaseFolder)) {}

void ReceiveHandler::listenSock_DataArrival(int index, qint64 /*bytesTotal*/) {
    Form &c = m_form;
    // The HTTP reset below unloads the connection slot while this handler still runs.
    const QPointer<SocketControl> socket = c.listenSock->element(index);

    const QByteArray data = socket ? socket->GetData() : QByteArray();

    // One reading of the clock serves the chunk's arrival, its log entry and the last-data time;
    // one of the tick, the append rule and LastReceiveTick.
    const QDateTime now = m_clock.now();
    const qint32 tick = m_clock.tick();
    ReceivedChunk chunk = chunkFrom(socket, data, now);
    if (startsAfresh(tick, c.state.LastReceiveTick, c.state.AppendWindowMs))
        c.txtNetData.setChunk(std::move(chunk));
    else
        c.txtNetData.appendChunk(std::move(chunk));

    if (c.chkEnableAutoRespond.isOn()) {
        for (std::size_t i = 0; i < c.txtWatchString.size(); ++i) {
            const QString &watch = c.txtWatchString[i]->Text();
            if (watch.isEmpty())
                continue;
            if (expandTokens(watch).toUtf8() != data)
                continue;
            const QString reply = expandTokens(c.txtResponseString[i]->Text());
            const bool sent = socket && socket->SendData((reply + CrLf).toUtf8());
            c.txtNetData.appendText(noteReply(socket, sent, watch, reply, index));
        }
    }

    if (c.chkLogData.isOn())
        ReceiveLog::LogReceivedData(c, m_logBaseFolder, data, now);

    if (c.optReceiveType[1]->isOn()
        && (data.contains(QByteArrayLiteral("GET")) || data.contains(QByteArrayLiteral("PUT")))) {
        if (socket)
            socket->SendData(HttpNotFoundReply);
        m_listener.StopListening();
        m_listener.StartListening();
    }

    c.state.LastDataTime = dateTimeText(now);
    c.state.LastReceiveTick = tick;
    if (SocketControl *element = c.listenSock->element(index))
        c.state.LastRemoteIP = element->RemoteHostIP();
}

void ReceiveHandler::Command1_Click() {
    m_form.txtNetData.setText(QString());
}
