#include "window/fault_dialog.h"

#include "listener/pair_rules.h"
#include "runtime/leading_number.h"
#include "settings/fault_file.h"
#include "window/dialog_rows.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {

// The kind as the type box lists it, with the links it acts on when not both.
QString typeCaption(const FaultKindInfo &info) {
    const QString name = QLatin1StringView(info.name);
    if (!info.streams)
        return name + u" (UDP only)"_s;
    if (!info.datagrams)
        return name + u" (TCP only)"_s;
    return name;
}

int percentOf(double toxicity) {
    return int(std::lround(toxicity * 100));
}

} // namespace

FaultDialog::FaultDialog(const Fault &fault, const QStringList &takenNames, QWidget *parent)
    : QDialog(parent), m_fault(fault), m_taken(takenNames) {
    setWindowTitle(u"Fault"_s);
    setObjectName(u"faultDialog"_s);
    setAccessibleName(windowTitle());
    makeFields();
}

void FaultDialog::makeFields() {
    auto *form = new QFormLayout(this);
    m_name = labelledRow(form, u"&Name:"_s, new QLineEdit(m_fault.name), u"faultName"_s);
    m_name->setMaxLength(Fault::MaxNameLength);
    m_name->setPlaceholderText(u"letters, digits, '_', '-' or '.'"_s);
    m_type = labelledRow(form, u"&Type:"_s, new QComboBox, u"faultType"_s);
    for (const FaultKindInfo &info : faultKinds())
        m_type->addItem(typeCaption(info));
    m_type->setCurrentIndex(int(m_fault.kind));
    m_stream = labelledRow(form, u"&Stream:"_s, new QComboBox, u"faultStream"_s);
    m_stream->addItems({u"downstream (target to peer)"_s, u"upstream (peer to target)"_s});
    m_stream->setCurrentIndex(m_fault.up ? 1 : 0);
    m_toxicity = labelledRow(form, u"T&oxicity:"_s, new QSpinBox, u"faultToxicity"_s);
    m_toxicity->setRange(0, 100);
    m_toxicity->setSuffix(u" %"_s);
    m_toxicity->setValue(percentOf(m_fault.toxicity));
    m_toxicity->setToolTip(u"The share of TCP pairs or UDP datagrams it acts on"_s);
    for (int i = 0; i < Fault::MaxAttributes; ++i) {
        auto *value = new QLineEdit;
        value->setObjectName(u"faultValue%1"_s.arg(i));
        auto *label = new QLabel;
        label->setBuddy(value);
        form->addRow(label, value);
        m_values[size_t(i)] = value;
        m_valueLabels[size_t(i)] = label;
    }
    m_afterMode =
        labelledRow(form, u"Start &after data that:"_s, new QComboBox, u"faultAfterMode"_s);
    // In the order of MatchMode, as a pair's Match menu lists them.
    for (int mode = 0; mode <= int(MatchMode::Hex); ++mode)
        m_afterMode->addItem(matchModeCaption(MatchMode(mode)));
    m_afterMode->setCurrentIndex(int(m_fault.after.mode));
    m_after = labelledRow(form, u"&Watch:"_s, new QLineEdit(m_fault.after.watch), u"faultAfter"_s);
    m_after->setPlaceholderText(u"empty: at once"_s);
    m_enabled = labelledRow(form, u"O&n:"_s, new QCheckBox, u"faultEnabled"_s);
    m_enabled->setChecked(m_fault.enabled);
    m_problem = new QLabel;
    m_problem->setObjectName(u"faultProblem"_s);
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(u"color: #c00000"_s);
    m_problem->hide();
    form->addRow(m_problem);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &FaultDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
    connect(m_type, &QComboBox::currentIndexChanged, this, &FaultDialog::showAttributes);
    showAttributes();
}

void FaultDialog::showAttributes() {
    const FaultKindInfo &info = faultKinds().at(m_type->currentIndex());
    // Another type's values mean something else: its own start from 0.
    const bool own = info.kind == m_fault.kind;
    for (qsizetype i = 0; i < Fault::MaxAttributes; ++i) {
        const bool shown = i < info.attributes.size();
        QLabel *label = m_valueLabels[size_t(i)];
        QLineEdit *value = m_values[size_t(i)];
        label->setVisible(shown);
        value->setVisible(shown);
        if (!shown)
            continue;
        const FaultAttribute &attribute = info.attributes[i];
        const QString caption =
            u"%1 (%2):"_s.arg(QLatin1StringView(attribute.name), QString::fromUtf8(attribute.unit));
        label->setText(caption);
        value->setAccessibleName(caption.chopped(1));
        value->setPlaceholderText(u"0 to %1"_s.arg(attribute.most));
        value->setText(QString::number(own ? m_fault.values[size_t(i)] : 0));
    }
}

QString FaultDialog::read(Fault &fault) const {
    fault.name = m_name->text().trimmed();
    fault.kind = faultKinds().at(m_type->currentIndex()).kind;
    fault.up = m_stream->currentIndex() == 1;
    // A share the percent box cannot show exactly stays as it was while the box is untouched.
    if (m_toxicity->value() != percentOf(m_fault.toxicity))
        fault.toxicity = m_toxicity->value() / 100.0;
    fault.values = {};
    const FaultKindInfo &info = faultKindInfo(fault.kind);
    for (qsizetype i = 0; i < info.attributes.size(); ++i) {
        const FaultAttribute &attribute = info.attributes[i];
        const std::optional<qint64> value =
            decimalNumber(m_values[size_t(i)]->text().trimmed(), attribute.most);
        if (!value)
            return u"%1 is a whole number from 0 to %2 %3."_s.arg(
                QLatin1StringView(attribute.name), QString::number(attribute.most),
                QString::fromUtf8(attribute.unit));
        fault.values[size_t(i)] = *value;
    }
    fault.after.watch = m_after->text();
    fault.after.mode = MatchMode(m_afterMode->currentIndex());
    fault.enabled = m_enabled->isChecked();
    if (m_taken.contains(fault.name))
        return u"A fault named %1 is in the list already."_s.arg(fault.name);
    return FaultFile::check({fault});
}

void FaultDialog::accept() {
    Fault fault = m_fault;
    if (const QString problem = read(fault); !problem.isEmpty()) {
        m_problem->setText(problem);
        m_problem->setAccessibleName(problem);
        m_problem->show();
        return;
    }
    m_fault = fault;
    QDialog::accept();
}
