#include "window/network_options_dialog.h"

#include "window/relay_fields.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QSpinBox>
#include <QVBoxLayout>

NetworkOptionsDialog::NetworkOptionsDialog(const NetworkOptions &options, bool listening,
                                           QWidget *parent)
    : QDialog(parent), m_options(options) {
    setWindowTitle(QStringLiteral("Network Options"));
    setObjectName(QStringLiteral("networkOptionsDialog"));

    makeAddressFields(options);
    makeSwitches(options);
    layOut(listening);
}

// Where the listener listens and which groups and interface multicast uses.
void NetworkOptionsDialog::makeAddressFields(const NetworkOptions &options) {
    m_address = new QComboBox(this);
    m_address->setObjectName(QStringLiteral("listenAddress"));
    m_address->setEditable(true);
    m_address->lineEdit()->setPlaceholderText(QStringLiteral("all addresses"));
    m_address->addItem(QString());
    for (const QHostAddress &address : QNetworkInterface::allAddresses())
        m_address->addItem(address.toString());
    m_address->setCurrentText(options.unusableListenAddress.isEmpty()
                                  ? listenAddressText(options.listenAddress)
                                  : options.unusableListenAddress);

    m_groups = new QLineEdit(multicastGroupsText(options.multicastGroups), this);
    m_groups->setObjectName(QStringLiteral("multicastGroups"));
    m_groups->setPlaceholderText(QStringLiteral("none, or 239.1.2.3, ff12::1"));

    m_interface = new QComboBox(this);
    m_interface->setObjectName(QStringLiteral("multicastInterface"));
    m_interface->addItem(QStringLiteral("System default"), QString());
    for (const QNetworkInterface &entry : QNetworkInterface::allInterfaces())
        m_interface->addItem(entry.name(), entry.name());
    // One that has gone since stays visible, so OK tells why it cannot be kept.
    if (m_interface->findData(options.multicastInterface) < 0)
        m_interface->addItem(options.multicastInterface, options.multicastInterface);
    m_interface->setCurrentIndex(m_interface->findData(options.multicastInterface));
}

// Broadcast, TTL and the send port, and the line that tells why OK cannot take the options.
void NetworkOptionsDialog::makeSwitches(const NetworkOptions &options) {
    m_broadcast = new QCheckBox(QStringLiteral("Allow &broadcast sends"), this);
    m_broadcast->setObjectName(QStringLiteral("allowBroadcast"));
    m_broadcast->setChecked(options.allowBroadcast);

    m_ttl = new QSpinBox(this);
    m_ttl->setObjectName(QStringLiteral("multicastTtl"));
    m_ttl->setRange(0, NetworkOptions::MaxMulticastTtl);
    m_ttl->setValue(options.multicastTtl);

    m_receiveBuffer = new QSpinBox(this);
    m_receiveBuffer->setObjectName(QStringLiteral("udpReceiveBuffer"));
    m_receiveBuffer->setRange(0, NetworkOptions::MaxReceiveBufferKiB);
    m_receiveBuffer->setSingleStep(1024);
    m_receiveBuffer->setSuffix(QStringLiteral(" KiB"));
    m_receiveBuffer->setSpecialValueText(QStringLiteral("4096 KiB, or what the system allows"));
    m_receiveBuffer->setValue(options.udpReceiveBufferKiB);

    m_fromListenPort = new QCheckBox(QStringLiteral("&Send from the listening port (UDP)"), this);
    m_fromListenPort->setObjectName(QStringLiteral("sendFromListenPort"));
    m_fromListenPort->setChecked(options.sendFromListenPort);

    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("color: #c00000"));
    m_problem->hide();
}

// The fields over the problem line and the buttons, in tab order; while the listener runs, what
// it was opened with is locked.
void NetworkOptionsDialog::layOut(bool listening) {
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &NetworkOptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &NetworkOptionsDialog::reject);

    // Each label is its field's buddy, which names the field for screen readers.
    auto *fields = new QFormLayout;
    fields->addRow(QStringLiteral("&Listening address:"), m_address);
    fields->addRow(QStringLiteral("Multicast &groups:"), m_groups);
    fields->addRow(QStringLiteral("&Interface:"), m_interface);
    fields->addRow(m_broadcast);
    fields->addRow(QStringLiteral("Multicast &TTL:"), m_ttl);
    fields->addRow(m_fromListenPort);
    fields->addRow(QStringLiteral("UDP &receive buffer:"), m_receiveBuffer);
    auto *layout = m_layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(m_problem);
    layout->addWidget(buttons);
    for (QWidget *field :
         {static_cast<QWidget *>(m_address), static_cast<QWidget *>(m_groups),
          static_cast<QWidget *>(m_interface), static_cast<QWidget *>(m_receiveBuffer)}) {
        field->setEnabled(!listening);
        if (listening)
            field->setToolTip(QStringLiteral("The listener uses this until it stops."));
    }
    const QList<QWidget *> order{m_address, m_groups,         m_interface,     m_broadcast,
                                 m_ttl,     m_fromListenPort, m_receiveBuffer, buttons};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

QString NetworkOptionsDialog::readControls(NetworkOptions &options) const {
    if (QString error = parseListenAddress(m_address->currentText(), options.listenAddress);
        !error.isEmpty())
        return error;
    options.unusableListenAddress.clear();
    if (QString error = parseMulticastGroups(m_groups->text(), options.multicastGroups);
        !error.isEmpty())
        return error;
    options.multicastInterface = m_interface->currentData().toString();
    options.allowBroadcast = m_broadcast->isChecked();
    options.multicastTtl = m_ttl->value();
    options.sendFromListenPort = m_fromListenPort->isChecked();
    options.udpReceiveBufferKiB = m_receiveBuffer->value();
    return checkNetworkOptions(options);
}

void NetworkOptionsDialog::showRelay(const RelayOptions &relay, bool datagrams) {
    m_relayOptions = relay;
    m_relay = new RelayFields(relay, datagrams, this);
    m_layout->insertWidget(1, m_relay);
}

void NetworkOptionsDialog::accept() {
    NetworkOptions chosen = m_options;
    RelayOptions relay = m_relayOptions;
    QString problem = readControls(chosen);
    if (problem.isEmpty() && m_relay)
        problem = m_relay->read(relay);
    if (!problem.isEmpty()) {
        m_problem->setText(problem);
        m_problem->show();
        return;
    }
    m_options = chosen;
    m_relayOptions = relay;
    QDialog::accept();
}
