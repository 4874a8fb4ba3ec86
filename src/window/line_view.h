#pragma once

#include "window/caret_motion.h"
#include "window/shown_lines.h"

#include <QAbstractScrollArea>

class QMenu;

// A read-only view of a text that lays out only the rows and the stretch of each row on screen,
// so a line of any length shows as one row (scrolled sideways) and appending costs no more for
// a long text than for a short one. The operator selects with the mouse and the keys (arrows,
// Home, End, Page Up, Page Down, Ctrl with either for words or the whole text, Shift to extend);
// Copy, Select All and dragging the selection hand on the text exactly as it arrived. A screen
// reader reads it through line_view_access.h.
class LineView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit LineView(QWidget *parent = nullptr);

    const QString &text() const { return m_lines.text(); }
    const ShownLines &lines() const { return m_lines; }
    // Shows `text` from its start.
    void setText(const QString &text);
    // Appends, keeping what the operator scrolled to and selected.
    void appendText(QStringView more);
    // Takes the last `count` characters away.
    void chopText(qsizetype count);

    qsizetype caret() const { return m_caret; }
    qsizetype selectionStart() const { return std::min(m_anchor, m_caret); }
    qsizetype selectionEnd() const { return std::max(m_anchor, m_caret); }
    QString selectedText() const;
    // Selects from `anchor` to `caret` and scrolls the caret into view.
    void select(qsizetype anchor, qsizetype caret);
    void copy() const;
    void selectAll();
    // Copy and Select All, as Qt's own text boxes offer them.
    QMenu *createStandardContextMenu();

    // Where the character at `offset` shows, in the viewport; the caret's place.
    QRect characterRect(qsizetype offset) const;
    QRect caretRect() const { return characterRect(m_caret).adjusted(0, 0, 1, 0); }
    // The place nearest to `point` in the viewport.
    qsizetype offsetAt(QPoint point) const;
    void scrollTo(qsizetype offset);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    static constexpr int Margin = 4;

    int rowHeight() const { return m_rowHeight; }
    int fullRows() const;
    void showRanges();
    // Moves the caret, keeping or dropping the anchor, and tells a screen reader.
    void moveCaret(qsizetype to, bool keepAnchor);

    ShownLines m_lines;
    qsizetype m_anchor = 0;
    qsizetype m_caret = 0;
    CaretMotion m_motion;
    int m_rowHeight = 1;
    bool m_selecting = false;
    bool m_dragging = false; // pressed in the selection, which may be dragged away
    QPoint m_pressedAt;
};
