#pragma once

#include <QString>
#include <functional>
#include <optional>

class Clock;
struct Controls;

// "Send Data" with its three paths, and the handlers around the client socket sendSock.
class Sender {
public:
    Sender(Controls &controls, const Clock &clock);

    void btnSendData_Click();
    void tmrSendState_Timer();
    void sendSock_DataArrival(qint64 bytesTotal);
    void sendSock_Error(int number, const QString &description, const QString &source);
    void btnClearSendData_Click();

    // For a run without a screen: each reply on sendSock as received.
    std::function<void(const QByteArray &)> onReply;

    // With it on, the send text is read as hex pairs and a text that is not hex sends nothing.
    bool sendAsHex() const { return m_sendAsHex; }
    void setSendAsHex(bool on) { m_sendAsHex = on; }

private:
    void SendToPeer(const QByteArray &data);
    void SendTcpClient(const QByteArray &data);
    void SendUdpClient(const QByteArray &data);

    enum class WaitEnd { Reached, RanOut, Gone };
    WaitEnd RunWait(int limit, const std::function<bool()> &reached = {});
    void LingerAndClose();

    std::optional<int> ClientPort() const;
    QString LastSentText(const QString &suffix = {}) const;
    void ShowSendState();
    void SetLastSend(const QString &suffix = {});
    std::optional<QByteArray> BytesToSend();
    void ShowMessage(const QString &text);

    Controls &m_controls;
    const Clock &m_clock;
    bool m_sendAsHex = false;
};
