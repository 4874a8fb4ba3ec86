#include "window/find_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTextCursor>

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
    const QString selected = m_box->textCursor().selectedText();
    if (!selected.isEmpty() && !selected.contains(QChar::ParagraphSeparator))
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
    bool found = m_box->find(wanted, flags);
    bool wrapped = false;
    if (!found) {
        const QTextCursor before = m_box->textCursor();
        QTextCursor edge(m_box->document());
        edge.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
        m_box->setTextCursor(edge);
        found = wrapped = m_box->find(wanted, flags);
        if (!found)
            m_box->setTextCursor(before);
    }
    m_result->setText(!found    ? QStringLiteral("Not found")
                      : wrapped ? QStringLiteral("Wrapped around")
                                : QString());
}
