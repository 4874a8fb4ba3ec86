#include "window/repeat_dialog.h"

#include "sender/repeat_send.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <limits>

RepeatDialog::RepeatDialog(int intervalMs, int count, QWidget *parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Repeat Send"));
    setObjectName(QStringLiteral("repeatDialog"));

    m_interval = new QSpinBox(this);
    m_interval->setObjectName(QStringLiteral("repeatInterval"));
    m_interval->setRange(RepeatSend::MinIntervalMs, RepeatSend::MaxIntervalMs);
    m_interval->setSuffix(QStringLiteral(" ms"));
    m_interval->setGroupSeparatorShown(true);
    m_interval->setValue(intervalMs);

    m_count = new QSpinBox(this);
    m_count->setObjectName(QStringLiteral("repeatCount"));
    m_count->setRange(0, std::numeric_limits<int>::max());
    m_count->setSpecialValueText(QStringLiteral("Until stopped"));
    m_count->setGroupSeparatorShown(true);
    m_count->setValue(count);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Start"));
    connect(buttons, &QDialogButtonBox::accepted, this, &RepeatDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &RepeatDialog::reject);

    // Each label is its field's buddy, which names the field for screen readers.
    auto *fields = new QFormLayout;
    fields->addRow(QStringLiteral("&Interval:"), m_interval);
    fields->addRow(QStringLiteral("&Count:"), m_count);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(buttons);
    m_interval->selectAll();
}

int RepeatDialog::intervalMs() const {
    return m_interval->value();
}

int RepeatDialog::count() const {
    return m_count->value();
}
