#include "support/loopback.h"

#include "net/socket_array.h"
#include "net/socket_control.h"

#include <QTcpServer>
#include <QUdpSocket>

quint16 freeLoopbackPort(bool tcp) {
    if (tcp) {
        QTcpServer probe;
        return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
    }
    QUdpSocket probe;
    return probe.bind(QHostAddress::Any, 0) ? probe.localPort() : 0;
}

quint16 startListener(Form &form, bool tcp) {
    form.optTCP[tcp ? 0 : 1]->setValue(1);
    const quint16 port = freeLoopbackPort(tcp);
    form.txtListenPort.setText(QString::number(port));
    form.btnConnect.Click();
    return port;
}

void setPairs(Form &form, const QStringList &watch, const QStringList &response) {
    form.chkEnableAutoRespond.setValue(1);
    for (int i = 0; i < PairCount; ++i) {
        form.txtWatchString[i]->setText(watch.value(i));
        form.txtResponseString[i]->setText(response.value(i));
    }
}
