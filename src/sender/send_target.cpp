#include "sender/send_target.h"

#include "model/form.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "runtime/clock.h"
#include "runtime/date_time_text.h"

QString lastSentText(const Clock &clock, const QString &suffix) {
    return QStringLiteral("Last Data Sent: ") + dateTimeText(clock.now()) + suffix;
}

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

std::optional<int> clientPort(const Form &form) {
    bool ok = false;
    const int port = form.txtListenPort.Text().trimmed().toInt(&ok, 10);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

SocketControl *listenerToSendFrom(const Form &form) {
    SocketControl *listener = form.listenSock->element(0);
    const bool open = form.networkOptions.sendFromListenPort && listener
                      && listener->Protocol() == SocketControl::UdpProtocol
                      && listener->State() == SocketControl::Open;
    return open ? listener : nullptr;
}
