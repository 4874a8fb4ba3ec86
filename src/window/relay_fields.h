#pragma once

#include "model/relay_options.h"

#include <QGroupBox>

#include <array>

class QCheckBox;
class QLineEdit;

// Relay mode in the Network Options: the target, and each way's link faults as the command line
// takes them (an empty field is off).
class RelayFields final : public QGroupBox {
    Q_OBJECT

public:
    RelayFields(const RelayOptions &options, QWidget *parent = nullptr);

    // The options as the fields hold them, over `options`; the first problem, empty when none.
    QString read(RelayOptions &options) const;

private:
    static constexpr int FaultCount = 4;
    QLineEdit *m_target = nullptr;
    // Delay, drop, rate and cut; up, then down.
    std::array<std::array<QLineEdit *, FaultCount>, 2> m_faults{};
    QCheckBox *m_targetTls = nullptr;
};
