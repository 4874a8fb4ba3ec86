#pragma once

#include "model/relay_options.h"

#include <QGroupBox>

#include <array>

class FaultList;
class QCheckBox;
class QLineEdit;

// Relay mode in the Network Options: the target, each way's link faults as the command line
// takes them (an empty field is off), and the named faults; `datagrams` when the listener uses
// UDP.
class RelayFields final : public QGroupBox {
    Q_OBJECT

public:
    RelayFields(const RelayOptions &options, bool datagrams, QWidget *parent = nullptr);

    // The options as the fields hold them, over `options`; the first problem, empty when none.
    QString read(RelayOptions &options) const;

private:
    static constexpr int FaultCount = 4;
    QLineEdit *m_target = nullptr;
    // Delay, drop, rate and cut; up, then down.
    std::array<std::array<QLineEdit *, FaultCount>, 2> m_faults{};
    QCheckBox *m_targetTls = nullptr;
    FaultList *m_named = nullptr;
};
