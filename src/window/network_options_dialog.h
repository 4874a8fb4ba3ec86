#pragma once

#include "model/relay_options.h"
#include "net/network_options.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QVBoxLayout;
class RelayFields;

// The network options, as the port box's and the send address box's "Network Options..."
// open them. OK takes them only once the net/ checks find nothing wrong; otherwise the reason
// stays in the dialog. While the listener runs, what it was opened with cannot change.
class NetworkOptionsDialog final : public QDialog {
    Q_OBJECT

public:
    NetworkOptionsDialog(const NetworkOptions &options, bool listening, QWidget *parent = nullptr);

    // What OK took; the options given until then.
    NetworkOptions options() const { return m_options; }
    // Relay mode's fields, shown once given; relay() is what OK took of them. `datagrams` when
    // the listener uses UDP, which some named faults do not act on.
    void showRelay(const RelayOptions &relay, bool datagrams);
    RelayOptions relay() const { return m_relayOptions; }

    void accept() override;

private:
    void makeAddressFields(const NetworkOptions &options);
    void makeSwitches(const NetworkOptions &options);
    void layOut(bool listening);
    // The options as the controls hold them; the first problem, empty when there is none.
    QString readControls(NetworkOptions &options) const;

    NetworkOptions m_options;
    QComboBox *m_address = nullptr;
    QLineEdit *m_groups = nullptr;
    QComboBox *m_interface = nullptr;
    QCheckBox *m_broadcast = nullptr;
    QSpinBox *m_ttl = nullptr;
    QSpinBox *m_receiveBuffer = nullptr;
    QCheckBox *m_fromListenPort = nullptr;
    QLabel *m_problem = nullptr;
    QVBoxLayout *m_layout = nullptr;
    RelayFields *m_relay = nullptr;
    RelayOptions m_relayOptions;
};
