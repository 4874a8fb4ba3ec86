#include "support/loopback.h"

#include "net/socket_array.h"
#include "net/socket_control.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTest>
#include <QUdpSocket>

quint16 freeLoopbackPort(bool tcp) {
    if (tcp) {
        QTcpServer probe;
        return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
    }
    QUdpSocket probe;
    return probe.bind(QHostAddress::Any, 0) ? probe.localPort() : 0;
}

quint16 startListener(Controls &controls, bool tcp) {
    controls.optTCP[tcp ? 0 : 1]->setChecked(true);
    controls.txtListenPort->setText(QString::number(freeLoopbackPort(tcp)));
    QTest::mouseClick(controls.btnConnect, Qt::LeftButton);
    return quint16(controls.listenSock->element(0)->LocalPort());
}

void setPairs(Controls &controls, const QStringList &watch, const QStringList &response) {
    controls.chkEnableAutoRespond->setCheckState(Qt::Checked);
    for (int i = 0; i < PairCount; ++i) {
        controls.txtWatchString[i]->setText(watch.value(i));
        controls.txtResponseString[i]->setText(response.value(i));
    }
}
