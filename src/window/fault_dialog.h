#pragma once

#include "model/fault.h"

#include <QDialog>
#include <QStringList>

#include <array>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;

// Edits one named fault: its name, type, stream, toxicity in percent, the type's attributes in
// their units, and the watch that starts it. OK takes it only when it checks and its name is
// not among `takenNames`; otherwise the reason stays in the dialog.
class FaultDialog final : public QDialog {
    Q_OBJECT

public:
    FaultDialog(const Fault &fault, const QStringList &takenNames, QWidget *parent = nullptr);

    // What OK took; the fault given until then.
    const Fault &fault() const { return m_fault; }

    void accept() override;

private:
    void makeFields();
    // The rows of the chosen type's attributes: its names and units, the others hidden.
    void showAttributes();
    // The fault the fields hold; the first problem, empty when there is none.
    QString read(Fault &fault) const;

    Fault m_fault;
    QStringList m_taken;
    QLineEdit *m_name = nullptr;
    QComboBox *m_type = nullptr;
    QComboBox *m_stream = nullptr;
    QSpinBox *m_toxicity = nullptr;
    std::array<QLabel *, Fault::MaxAttributes> m_valueLabels{};
    std::array<QLineEdit *, Fault::MaxAttributes> m_values{};
    QComboBox *m_afterMode = nullptr;
    QLineEdit *m_after = nullptr;
    QCheckBox *m_enabled = nullptr;
    QLabel *m_problem = nullptr;
};
