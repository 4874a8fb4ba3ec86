#include "sender/send_target.h"

#include "model/form.h"
#include "model/listener_state.h"
#include "model/sockets.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "net/socket_errors.h"
#include "net/tls_context.h"
#include "sender/file_send.h"
#include "sender/sender.h"

bool sendsTcp(const Form &form, const ListenerState &listener) {
    return listener.open() ? listener.tcp : form.optTCP[0]->isOn();
}

bool sendCanStart(const ListenerState &listener, const Sender &sender, const FileSend &fileSend) {
    return !sender.clientSend() && !fileSend.clientSend()
           && (!listener.openTcp() || sender.peerReachable());
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
    const std::optional<int> port = listenPortNumber(form);
    if (!port || *port < 1)
        return std::nullopt;
    return port;
}

QString clientHost(const Form &form) {
    return form.txtSendIP.Text().trimmed();
}

bool aimUdpClient(const Form &form, const NetworkOptions &o, SocketControl *sock, int port) {
    sock->setProtocol(SocketControl::UdpProtocol);
    sock->setTls({});
    sock->setRemoteHost(clientHost(form));
    sock->setRemotePort(port);
    sock->setAllowBroadcast(o.allowBroadcast);
    sock->setMulticastTtl(o.multicastTtl);
    return sock->setMulticastInterface(o.multicastInterface);
}

namespace {

SocketControl *sendingListener(const NetworkOptions &options, const Sockets &sockets) {
    SocketControl *listener = sockets.listenSock->element(0);
    const bool fromListener = options.sendFromListenPort && listener
                              && listener->Protocol() == SocketControl::UdpProtocol
                              && listener->State() == SocketControl::Open;
    return fromListener ? listener : nullptr;
}

} // namespace

bool sendClientDatagram(const NetworkOptions &options, const Sockets &sockets,
                        const QByteArray &data, QString &why) {
    SocketControl *sock = sockets.sendSock;
    SocketControl *listener = sendingListener(options, sockets);
    const bool fromListener = listener != nullptr;
    const bool sent = fromListener ? listener->SendDatagramTo(data, sock->RemoteAddress(),
                                                              quint16(sock->RemotePort()))
                                   : sock->SendData(data);
    why = sent ? QString() : failureText((fromListener ? listener : sock)->LastFailure());
    return sent;
}

bool aimTcpClient(const Form &form, const TlsOptions &tls, SocketControl *sock, int port,
                  QString &why) {
    sock->setProtocol(SocketControl::TcpProtocol);
    sock->setRemoteHost(clientHost(form));
    sock->setRemotePort(port);
    std::shared_ptr<const TlsContext> context;
    if (tls.enabled)
        context = TlsContext::load(tls, TlsContext::Role::Client, why);
    sock->setTls(context);
    return !tls.enabled || context;
}

bool secureUdpClient(const TlsOptions &tls, const NetworkOptions &options, const Sockets &sockets,
                     QString &why) {
    if (!tls.enabled || sendingListener(options, sockets))
        return true;
    std::shared_ptr<const TlsContext> context =
        TlsContext::load(tls, TlsContext::Role::Client, why);
    sockets.sendSock->setTls(context);
    return context != nullptr;
}

QString secureFailure(const SocketControl *sock) {
    return sock->SecureFailure();
}

bool datagramsSecured(const SocketControl *sock) {
    return sock->State() == SocketControl::Open && sock->SecureFailure().isEmpty();
}

QString datagramNotSentText(const NetworkOptions &options, const QString &why) {
    const bool refusedBroadcast = !options.allowBroadcast && why.startsWith(u"10013 ");
    return QStringLiteral("Data not sent: ") + why
           + (refusedBroadcast
                  ? QStringLiteral("\r\nA broadcast goes out only when Network Options allow it.")
                  : QString());
}
