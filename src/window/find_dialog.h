#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class LineView;

// A small find window for a text box, which stays open beside it: Enter and F3 find the next
// match, Shift+F3 the previous one; case is ignored unless asked for, and the search wraps
// around at either end. It searches the text as it arrived.
class FindDialog final : public QDialog {
    Q_OBJECT

public:
    explicit FindDialog(LineView *box);

    // Shows the window, offering the box's selected text to find.
    void start();
    // Finds the text again; false when nothing has been searched for yet.
    bool findAgain(bool backward);

private:
    void find(bool backward);

    LineView *m_box;
    QLineEdit *m_text;
    QCheckBox *m_matchCase;
    QLabel *m_result;
};
