#pragma once

#include "settings/packet_entry.h"

#include <QDialog>

class PacketBook;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;

// Edits one packet (name, data, hex, target, TLS) or sequence (name, steps one per line, repeat).
// OK puts it into the book, replacing the entry it was opened on; what the book refuses is shown
// and the dialog stays open.
class PacketDialog final : public QDialog {
    Q_OBJECT

public:
    PacketDialog(PacketBook &book, const PacketEntry &entry, const QString &replacing,
                 QWidget *parent);
    const QString &savedName() const { return m_savedName; }

    void accept() override;

private:
    PacketBook &m_book;
    QString m_replacing;
    QString m_savedName;
    bool m_sequence = false;
    int m_pin = 0; // the entry's Alt+N, which editing keeps
    QLineEdit *m_name = nullptr;
    QLineEdit *m_data = nullptr;
    QCheckBox *m_hex = nullptr;
    QLineEdit *m_to = nullptr;
    QCheckBox *m_tls = nullptr;
    QPlainTextEdit *m_steps = nullptr;
    QSpinBox *m_repeat = nullptr;
    QLabel *m_error = nullptr;
};
