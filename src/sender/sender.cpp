#include "sender/sender.h"

#include "form/controls.h"
#include "form/received_data_box.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "runtime/clock.h"
#include "runtime/date_time_text.h"
#include "runtime/hex_text.h"
#include "runtime/wait_cycle.h"
#include "sender/send_bytes.h"

#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

Q_LOGGING_CATEGORY(lcSend, "sendrel.send")

namespace {

constexpr int ConnectWaitLimit = 60;
constexpr int OpenWaitLimit = 10;
constexpr int LingerLimit = 10;
// The lookup gives up by itself after SocketControl::LookupTimeoutMs; this only backs that up
// (a cycle sleeps 50 ms).
constexpr int LookupWaitLimit = SocketControl::LookupTimeoutMs / 50 + 10;

const QString NoActiveConnection =
    QStringLiteral(" - ERROR: Data Not Sent, No Active TCP Connection");
const QString SocketClosed = QStringLiteral(" - ERROR: Data Not Sent, Socket Closed");
const QString CouldntConnect = QStringLiteral(" - ERROR: Data Not Sent, Couldn't Connect To Host");
const QString CouldntOpenUdp = QStringLiteral(" - ERROR: Data Not Sent, Couldn't Open UDP Port");
const QString SendFailed = QStringLiteral(" - ERROR: Data Not Sent, Send Failed");

const QString PeerTargetCaption = QStringLiteral("TCP Server Mode Send IP Address: ");

// The connected peer of the TCP listener: the connection slot, or element 0 when it alone is
// loaded; nothing when the array holds neither arrangement.
SocketControl *peerElement(const SocketArray *listenSock) {
    switch (listenSock->Count()) {
    case 2:
        return listenSock->element(1);
    case 1:
        return listenSock->element(0);
    default:
        return nullptr;
    }
}

} // namespace

Sender::Sender(Controls &controls, const Clock &clock) : m_controls(controls), m_clock(clock) {}

void Sender::btnSendData_Click() {
    SocketArray *listenSock = m_controls.listenSock;
    const SocketControl *listener = listenSock->element(0);
    qCInfo(lcSend).noquote() << QStringLiteral("listensock(0).state=")
                                    + QString::number(listener ? qToUnderlying(listener->State())
                                                               : 0)
                                    + QStringLiteral("   listensock.count=")
                                    + QString::number(listenSock->Count());

    const std::optional<QByteArray> bytes = BytesToSend();
    if (!bytes)
        return;
    const QByteArray &data = *bytes;
    const bool tcp = m_controls.optTCP[0]->isChecked();
    if (!m_controls.btnDisconnect->isHidden() && tcp)
        SendToPeer(data);
    else if (tcp)
        SendTcpClient(data);
    else
        SendUdpClient(data);
}

void Sender::SendToPeer(const QByteArray &data) {
    const int count = m_controls.listenSock->Count();
    if (count != 1 && count != 2) {
        SetLastSend(SocketClosed);
        return;
    }
    SocketControl *target = peerElement(m_controls.listenSock);

    if (target && target->State() == SocketControl::Connected)
        SetLastSend(target->SendData(data) ? QString() : SendFailed);
    else
        SetLastSend(NoActiveConnection);
}

// Each wait processes events, so anything may have happened underneath: the listener restarted
// (which closes sendSock) or the window closed and took this object with it. After a wait that
// answers Gone nothing of ours may be touched.
Sender::WaitEnd Sender::RunWait(int limit, const std::function<bool()> &reached) {
    const QPointer<QWidget> window = m_controls.frmMain;
    const QPointer<SocketControl> sock = m_controls.sendSock;
    const bool ended = runWaitCycles(limit, [&] {
        if (!window || !sock)
            return true;
        ShowSendState();
        return reached && reached();
    });
    if (!window || !sock)
        return WaitEnd::Gone;
    return ended ? WaitEnd::Reached : WaitEnd::RanOut;
}

void Sender::LingerAndClose() {
    if (RunWait(LingerLimit) == WaitEnd::Gone)
        return;
    m_controls.sendSock->Close();
    m_controls.btnSendData->setEnabled(true);
}

void Sender::SendTcpClient(const QByteArray &data) {
    SocketControl *sock = m_controls.sendSock;
    ShowSendState();
    m_controls.btnSendData->setEnabled(false);

    const std::optional<int> port = ClientPort();
    if (!port) {
        sock->Close();
        ShowSendState();
        SetLastSend(CouldntConnect);
        m_controls.btnSendData->setEnabled(true);
        return;
    }

    if (sock->State() != SocketControl::Connected
        || sock->Protocol() != SocketControl::TcpProtocol) {
        sock->Close();
        ShowSendState();
        sock->setProtocol(SocketControl::TcpProtocol);
        sock->setRemoteHost(m_controls.txtSendIP->text().trimmed());
        sock->setRemotePort(*port);
        sock->Connect();
        ShowSendState();
        const auto connected = [sock] { return sock->State() == SocketControl::Connected; };
        if (RunWait(ConnectWaitLimit, connected) == WaitEnd::Gone)
            return;
    }

    ShowSendState();
    if (sock->State() == SocketControl::Connected)
        SetLastSend(sock->SendData(data) ? QString() : SendFailed);
    else
        SetLastSend(CouldntConnect);

    ShowSendState();
    LingerAndClose();
}

void Sender::SendUdpClient(const QByteArray &data) {
    SocketControl *sock = m_controls.sendSock;
    m_controls.btnSendData->setEnabled(false);
    sock->Close();

    const std::optional<int> port = ClientPort();
    if (!port) {
        ShowSendState();
        m_controls.txtNetData->setText(LastSentText(CouldntOpenUdp));
        m_controls.btnSendData->setEnabled(true);
        return;
    }

    sock->setProtocol(SocketControl::UdpProtocol);
    sock->setRemoteHost(m_controls.txtSendIP->text().trimmed());
    sock->setRemotePort(*port);
    sock->Bind();
    // A name is looked up before the datagram goes, so that it is either handed to the system or
    // reported as not sent.
    const auto lookedUp = [sock] { return sock->State() != SocketControl::ResolvingHost; };
    if (sock->LookUpRemoteHost() && RunWait(LookupWaitLimit, lookedUp) == WaitEnd::Gone)
        return;
    const bool sent = sock->SendData(data);

    const WaitEnd open = RunWait(OpenWaitLimit, [&] {
        if (sock->State() != SocketControl::Open)
            return false;
        SetLastSend(sent ? QString() : SendFailed);
        return true;
    });
    if (open == WaitEnd::Gone)
        return;
    if (open == WaitEnd::RanOut)
        m_controls.txtNetData->setText(LastSentText(CouldntOpenUdp));

    LingerAndClose();
}

// The port box is shared with the listener; a client can only reach ports 1-65535, and a text
// that is no such number must not quietly reuse the port of an earlier send.
std::optional<int> Sender::ClientPort() const {
    bool ok = false;
    const int port = m_controls.txtListenPort->text().trimmed().toInt(&ok, 10);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

QString Sender::LastSentText(const QString &suffix) const {
    return QStringLiteral("Last Data Sent: ") + dateTimeText(m_clock.now()) + suffix;
}

void Sender::ShowSendState() {
    m_controls.lblSendState->setText(QString::number(qToUnderlying(m_controls.sendSock->State())));
}

void Sender::SetLastSend(const QString &suffix) {
    m_controls.lblStatus[2]->setText(LastSentText(suffix));
}

void Sender::tmrSendState_Timer() {
    ShowSendState();

    const SocketArray *listenSock = m_controls.listenSock;
    const SocketControl *listener = listenSock->element(0);
    if (!listener || listener->Protocol() != SocketControl::TcpProtocol
        || m_controls.btnDisconnect->isHidden())
        return;

    const int count = listenSock->Count();
    const bool peerPresent = count > 1 || listener->State() == SocketControl::Connected;
    QPushButton *sendButton = m_controls.btnSendData;
    if (peerPresent && !sendButton->isEnabled()) {
        sendButton->setEnabled(true);
        if (const SocketControl *peer = peerElement(listenSock))
            m_controls.lblSendIP->setText(PeerTargetCaption + peer->RemoteHostIP());
    } else if (!peerPresent && sendButton->isEnabled()) {
        sendButton->setEnabled(false);
        m_controls.lblSendIP->setText(NoPeerSendCaption);
    }
}

void Sender::sendSock_DataArrival(qint64 /*bytesTotal*/) {
    const QByteArray reply = m_controls.sendSock->GetData();
    if (onReply)
        onReply(reply);
    m_controls.txtNetData->appendChunk(chunkFrom(m_controls.sendSock, reply, m_clock.now()));
}

void Sender::sendSock_Error(int number, const QString &description, const QString &source) {
    ShowMessage(QStringLiteral("SendSock Error #") + QString::number(number) + QStringLiteral(":")
                + description + QStringLiteral("\r\n\r\n") + QStringLiteral("Source:") + source);
}

// The send text as bytes; nothing, after telling the operator why, when it is to be read as hex
// and is not.
std::optional<QByteArray> Sender::BytesToSend() {
    if (!m_sendAsHex)
        return sendBytes(*m_controls.txtSendData);
    const HexText hex = bytesFromHexText(m_controls.txtSendData->toPlainText());
    if (!hex.error.isEmpty()) {
        ShowMessage(hex.error);
        return std::nullopt;
    }
    return hex.bytes;
}

// Shown from the event loop rather than inside the socket's own signal: a modal loop there could
// let the socket be torn down under the code that emitted it. A waiting send still does not go
// on while the box is open, since the box's loop runs inside the wait's event processing.
void Sender::ShowMessage(const QString &text) {
    QWidget *window = m_controls.frmMain;
    QTimer::singleShot(0, window, [window, text] {
        // On the heap and guarded: closing the window while the box is open deletes it.
        const QPointer<QMessageBox> box = new QMessageBox(
            QMessageBox::NoIcon, window->windowTitle(), text, QMessageBox::Ok, window);
        box->setTextFormat(Qt::PlainText);
        box->exec();
        if (box)
            box->deleteLater();
    });
}

void Sender::btnClearSendData_Click() {
    m_controls.txtSendData->setPlainText(QString());
}
