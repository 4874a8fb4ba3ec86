#include "window/find_dialog.h"

#include "model/received_entries.h"
#include "window/line_view.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>

#include <algorithm>

FindDialog::FindDialog(LineView *box)
    : QDialog(box), m_box(box), m_text(new QLineEdit(this)),
      m_matchCase(new QCheckBox(QStringLiteral("Match &case"), this)), m_result(new QLabel(this)) {
    setWindowTitle(QStringLiteral("Find"));
    auto *label = new QLabel(QStringLiteral("Fi&nd what:"), this);
    label->setBuddy(m_text);
    auto *buttons = new QDialogButtonBox(Qt::Vertical, this);
    // The default button answers Enter in the text field.
    QPushButton *next =
        buttons->addButton(QStringLiteral("Find &Next"), QDialogButtonBox::ActionRole);
    next->setDefault(true);
    QPushButton *previous =
        buttons->addButton(QStringLiteral("Find &Previous"), QDialogButtonBox::ActionRole);
    buttons->addButton(QDialogButtonBox::Close);
    connect(next, &QPushButton::clicked, this, [this] { find(false); });
    connect(previous, &QPushButton::clicked, this, [this] { find(true); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    new QShortcut(QKeySequence(Qt::Key_F3), this, [this] { find(false); });
    new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this, [this] { find(true); });

    auto *grid = new QGridLayout(this);
    grid->addWidget(label, 0, 0);
    grid->addWidget(m_text, 0, 1);
    grid->addWidget(m_matchCase, 1, 1);
    grid->addWidget(m_result, 2, 1);
    grid->addWidget(buttons, 0, 2, 3, 1);
    m_text->setMinimumWidth(fontMetrics().averageCharWidth() * 30);
}

void FindDialog::start() {
    const QString selected = m_box->selectedText();
    if (!selected.isEmpty() && std::none_of(selected.begin(), selected.end(), endsShownLine))
        m_text->setText(selected);
    m_text->selectAll();
    m_text->setFocus();
    m_result->clear();
    show();
    raise();
    activateWindow();
}

bool FindDialog::findAgain(bool backward) {
    if (m_text->text().isEmpty())
        return false;
    find(backward);
    return true;
}

void FindDialog::find(bool backward) {
    const QString wanted = m_text->text();
    if (wanted.isEmpty())
        return;
    const Qt::CaseSensitivity sensitivity =
        m_matchCase->isChecked() ? Qt::CaseSensitive : Qt::CaseInsensitive;
    const QString &text = m_box->text();
    // Forward from the end of the selection, backward from before its start.
    const auto findFrom = [&](qsizetype from) {
        if (!backward)
            return text.indexOf(wanted, from, sensitivity);
        return from > 0 ? text.lastIndexOf(wanted, from - 1, sensitivity) : qsizetype(-1);
    };
    qsizetype at = findFrom(backward ? m_box->selectionStart() : m_box->selectionEnd());
    const bool wrapped = at < 0;
    if (wrapped)
        at = findFrom(backward ? text.size() : 0);
    if (at >= 0)
        m_box->select(at, at + wanted.size());
    m_result->setText(at < 0    ? QStringLiteral("Not found")
                      : wrapped ? QStringLiteral("Wrapped around")
                                : QString());
}
