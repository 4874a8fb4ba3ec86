#include "window/find_dialog.h"

#include "model/received_entries.h"
#include "window/exact_text.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTextCursor>

#include <algorithm>

FindDialog::FindDialog(QPlainTextEdit *box)
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
    const QString selected = ExactText::selected(m_box->textCursor());
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
    QTextDocument::FindFlags flags;
    if (backward)
        flags |= QTextDocument::FindBackward;
    if (m_matchCase->isChecked())
        flags |= QTextDocument::FindCaseSensitively;
    const auto findFrom = [&](const QTextCursor &from) {
        const QTextCursor match = ExactText::find(wanted, from, flags);
        if (!match.isNull())
            m_box->setTextCursor(match);
        return !match.isNull();
    };
    bool found = findFrom(m_box->textCursor());
    bool wrapped = false;
    if (!found) {
        QTextCursor edge(m_box->document());
        edge.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
        found = wrapped = findFrom(edge);
    }
    m_result->setText(!found    ? QStringLiteral("Not found")
                      : wrapped ? QStringLiteral("Wrapped around")
                                : QString());
}
