#include "window/packet_dialog.h"

#include "settings/packet_book.h"
#include "window/dialog_rows.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>

using namespace Qt::Literals::StringLiterals;

PacketDialog::PacketDialog(PacketBook &book, const PacketEntry &entry, const QString &replacing,
                           QWidget *parent)
    : QDialog(parent), m_book(book), m_replacing(replacing), m_sequence(entry.isSequence()),
      m_pin(entry.pin) {
    setWindowTitle(m_sequence ? u"Sequence"_s : u"Packet"_s);
    setObjectName(u"packetDialog"_s);
    setAccessibleName(windowTitle());
    auto *form = new QFormLayout(this);
    m_name = labelledRow(form, u"&Name:"_s, new QLineEdit(entry.name), u"packetName"_s);
    if (m_sequence) {
        QStringList steps;
        for (const SequenceStep &step : entry.steps)
            steps.append(step.toText());
        m_steps = labelledRow(form, u"&Steps:"_s, new QPlainTextEdit(steps.join(u'\n')),
                              u"packetSteps"_s);
        m_steps->setTabChangesFocus(true);
        m_steps->setPlaceholderText(u"send PACKET\nwait MS\nexpect MODE TEXT within MS"_s);
        m_repeat =
            labelledRow(form, u"&Repeat (0: until stopped):"_s, new QSpinBox, u"packetRepeat"_s);
        m_repeat->setRange(0, 1'000'000'000);
        m_repeat->setValue(entry.repeat);
    } else {
        m_data = labelledRow(form, u"&Data:"_s, new QLineEdit(entry.data), u"packetData"_s);
        m_data->setPlaceholderText(u"text with %CRLF%, %xHH%, %CRC16MODBUS%, %LEN8%..."_s);
        m_hex = labelledRow(form, u"&Hex pairs:"_s, new QCheckBox, u"packetHex"_s);
        m_hex->setChecked(entry.hex);
        m_to = labelledRow(form, u"&To:"_s, new QLineEdit(entry.to.text()), u"packetTo"_s);
        m_to->setPlaceholderText(u"tcp HOST:PORT, udp HOST:PORT or peer"_s);
        m_tls = labelledRow(form, u"T&LS:"_s, new QCheckBox, u"packetTls"_s);
        m_tls->setChecked(entry.to.tls);
        m_tls->setToolTip(u"A tcp target only; verified as Secure (TLS) says for sends"_s);
    }
    m_error = new QLabel;
    m_error->setObjectName(u"packetError"_s);
    m_error->setWordWrap(true);
    form->addRow(m_error);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

void PacketDialog::accept() {
    PacketEntry entry;
    entry.name = m_name->text().trimmed();
    entry.pin = m_pin;
    QString error;
    if (m_sequence) {
        for (const QString &line : m_steps->toPlainText().split(u'\n', Qt::SkipEmptyParts)) {
            const std::optional<SequenceStep> step = SequenceStep::fromText(line, &error);
            if (!step)
                break;
            entry.steps.append(*step);
        }
        if (error.isEmpty() && entry.steps.isEmpty())
            error = u"A sequence needs at least one step."_s;
        entry.repeat = m_repeat->value();
    } else {
        entry.data = m_data->text();
        entry.hex = m_hex->isChecked();
        if (const std::optional<PacketTarget> to = PacketTarget::fromText(m_to->text(), &error))
            entry.to = *to;
        entry.to.tls = m_tls->isChecked();
    }
    if (error.isEmpty() && m_replacing.isEmpty() && m_book.find(entry.name))
        error = u"A packet named %1 is in the file already."_s.arg(entry.name);
    if (error.isEmpty() && m_book.put(entry, m_replacing, &error)) {
        m_savedName = entry.name;
        QDialog::accept();
        return;
    }
    m_error->setText(error);
    m_error->setAccessibleName(error);
}
