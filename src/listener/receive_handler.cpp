#include "listener/receive_handler.h"

#include "form/controls.h"
#include "form/program_state.h"
#include "form/received_data_box.h"
#include "listener/listener.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "runtime/clock.h"
#include "runtime/date_time_text.h"
#include "runtime/tokens.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>

namespace {

const QByteArray HttpNotFoundReply =
    QByteArrayLiteral("HTTP/1.0 404 Not Found\r\nServer: KVX Sendrel HTTP Server\r\n\r\n");
const QString CrLf = QStringLiteral("\r\n");

// True when the chunk should replace the box: more than the append window since the previous
// chunk, or a tick difference that does not fit in 32 bits.
bool startsAfresh(qint32 now, qint32 lastReceiveTick, qint32 appendWindowMs) {
    qint32 elapsed = 0;
    if (__builtin_sub_overflow(now, lastReceiveTick, &elapsed))
        return true;
    return elapsed > appendWindowMs;
}

} // namespace

ReceiveHandler::ReceiveHandler(Controls &controls, ProgramState &state, Listener &listener,
                               std::function<void(const QByteArray &)> logReceivedData,
                               const Clock &clock)
    : m_controls(controls), m_state(state), m_listener(listener),
      m_logReceivedData(std::move(logReceivedData)), m_clock(clock) {}

void ReceiveHandler::listenSock_DataArrival(int index, qint64 /*bytesTotal*/) {
    Controls &c = m_controls;
    // The HTTP reset below unloads the connection slot while this handler still runs.
    const QPointer<SocketControl> socket = c.listenSock->element(index);

    const QByteArray data = socket ? socket->GetData() : QByteArray();
    if (onChunk)
        onChunk(data);

    // One reading of the clock serves the chunk's arrival and the last-data time.
    const QDateTime now = m_clock.now();
    ReceivedChunk chunk = chunkFrom(socket, data, now);
    if (startsAfresh(m_clock.tick(), m_state.LastReceiveTick, m_state.AppendWindowMs))
        c.txtNetData->setChunk(std::move(chunk));
    else
        c.txtNetData->appendChunk(std::move(chunk));

    if (c.chkEnableAutoRespond->checkState() == Qt::Checked) {
        for (std::size_t i = 0; i < c.txtWatchString.size(); ++i) {
            const QString watch = c.txtWatchString[i]->text();
            if (watch.isEmpty())
                continue;
            if (expandTokens(watch).toUtf8() != data)
                continue;
            const QString reply = expandTokens(c.txtResponseString[i]->text());
            if (socket)
                socket->SendData((reply + CrLf).toUtf8());
            const QString note = CrLf + QStringLiteral("Replied to ") + watch
                                 + QStringLiteral(" with:") + CrLf + reply
                                 + QStringLiteral(" On Sock:") + QString::number(index) + CrLf;
            c.txtNetData->appendText(note);
            if (onReplyNote)
                onReplyNote(note);
        }
    }

    if (c.chkLogData->checkState() == Qt::Checked && m_logReceivedData)
        m_logReceivedData(data);

    if (c.optReceiveType[1]->isChecked()
        && (data.contains(QByteArrayLiteral("GET")) || data.contains(QByteArrayLiteral("PUT")))) {
        if (socket)
            socket->SendData(HttpNotFoundReply);
        m_listener.StopListening();
        m_listener.StartListening();
    }

    m_state.LastDataTime = dateTimeText(now);
    m_state.LastReceiveTick = m_clock.tick();
    if (SocketControl *element = c.listenSock->element(index))
        m_state.LastRemoteIP = element->RemoteHostIP();
}

void ReceiveHandler::Command1_Click() {
    m_controls.txtNetData->setText(QString());
}
