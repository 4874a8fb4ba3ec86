#include "window/line_view.h"

#include "window/caret_motion.h"
#include "window/line_view_access.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>

#include <cmath>

namespace {

// Qt's own entry text, with its key where the platform shows keys in menus.
QString entryText(const char *text, QKeySequence::StandardKey key) {
    QString shown = QCoreApplication::translate("QWidgetTextControl", text);
    if (QGuiApplication::styleHints()->showShortcutsInContextMenus())
        shown += u'\t' + QKeySequence(key).toString(QKeySequence::NativeText);
    return shown;
}

} // namespace

LineView::LineView(QWidget *parent) : QAbstractScrollArea(parent) {
    installLineViewAccess();
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    m_lines.setFont(font());
    m_rowHeight = std::max(1, int(std::ceil(QFontMetricsF(m_lines.font()).lineSpacing())));
    showRanges();
}

void LineView::setText(const QString &text) {
    m_lines.clear();
    m_lines.append(text);
    m_anchor = m_caret = 0;
    m_motion.goalX = -1;
    showRanges();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    viewport()->update();
    // Only the caret moves for a screen reader: the whole text would go to it at every refresh.
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent moved(this, 0);
        QAccessible::updateAccessibility(&moved);
    }
}

void LineView::appendText(QStringView more) {
    if (more.isEmpty())
        return;
    const qsizetype at = m_lines.size();
    m_lines.append(more);
    showRanges();
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextInsertEvent inserted(this, int(at), more.toString());
        QAccessible::updateAccessibility(&inserted);
    }
}

void LineView::chopText(qsizetype count) {
    count = std::min(count, m_lines.size());
    if (count <= 0)
        return;
    const qsizetype at = m_lines.size() - count;
    const QString gone = m_lines.text().sliced(at);
    m_lines.chop(count);
    m_anchor = std::min(m_anchor, at);
    m_caret = std::min(m_caret, at);
    showRanges();
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextRemoveEvent removed(this, int(at), gone);
        QAccessible::updateAccessibility(&removed);
    }
}

QString LineView::selectedText() const {
    return text().mid(selectionStart(), selectionEnd() - selectionStart());
}

void LineView::select(qsizetype anchor, qsizetype caret) {
    m_anchor = std::clamp<qsizetype>(anchor, 0, m_lines.size());
    moveCaret(caret, true);
}

void LineView::copy() const {
    if (m_anchor != m_caret)
        QApplication::clipboard()->setText(selectedText());
}

void LineView::selectAll() {
    m_anchor = 0;
    moveCaret(m_lines.size(), true);
}

QMenu *LineView::createStandardContextMenu() {
    auto *menu = new QMenu(this);
    QAction *copying =
        menu->addAction(entryText("&Copy", QKeySequence::Copy), this, &LineView::copy);
    copying->setEnabled(m_anchor != m_caret);
    copying->setObjectName(QStringLiteral("edit-copy"));
    copying->setIcon(QIcon::fromTheme(QStringLiteral("edit-copy")));
    menu->addSeparator();
    QAction *all = menu->addAction(entryText("Select All", QKeySequence::SelectAll), this,
                                   &LineView::selectAll);
    all->setEnabled(!text().isEmpty());
    all->setObjectName(QStringLiteral("select-all"));
    all->setIcon(QIcon::fromTheme(QStringLiteral("edit-select-all")));
    return menu;
}

QRect LineView::characterRect(qsizetype offset) const {
    const qsizetype line = m_lines.lineOf(offset);
    const qreal x = m_lines.xOf(offset);
    qreal width = 1;
    if (offset < m_lines.lineEnd(line))
        width = std::max<qreal>(1, m_lines.xOf(offset + 1) - x);
    const int left = Margin + int(std::floor(x)) - horizontalScrollBar()->value();
    const int top = Margin + int(line - verticalScrollBar()->value()) * rowHeight();
    return QRect(left, top, int(std::ceil(width)), rowHeight());
}

qsizetype LineView::offsetAt(QPoint point) const {
    const qsizetype row = verticalScrollBar()->value()
                          + qsizetype(std::floor(qreal(point.y() - Margin) / rowHeight()));
    const qsizetype line = std::clamp<qsizetype>(row, 0, m_lines.lineCount() - 1);
    return m_lines.offsetAt(line, point.x() - Margin + horizontalScrollBar()->value());
}

void LineView::scrollTo(qsizetype offset) {
    const qsizetype line = m_lines.lineOf(offset);
    QScrollBar *rows = verticalScrollBar();
    if (line < rows->value())
        rows->setValue(int(line));
    else if (line >= rows->value() + fullRows())
        rows->setValue(int(line - fullRows() + 1));
    const int x = int(m_lines.xOf(offset));
    const int width = viewport()->width() - 2 * Margin;
    QScrollBar *across = horizontalScrollBar();
    if (x < across->value())
        across->setValue(std::max(0, x - width / 4));
    else if (x >= across->value() + width)
        across->setValue(x - width * 3 / 4);
}

int LineView::fullRows() const {
    return std::max(1, (viewport()->height() - Margin) / rowHeight());
}

void LineView::showRanges() {
    QScrollBar *rows = verticalScrollBar();
    rows->setRange(0, int(std::max<qsizetype>(0, m_lines.lineCount() - fullRows())));
    rows->setPageStep(fullRows());
    rows->setSingleStep(1);
    QScrollBar *across = horizontalScrollBar();
    const int width = int(std::ceil(m_lines.widest())) + 2 * Margin;
    across->setRange(0, std::max(0, width - viewport()->width()));
    across->setPageStep(viewport()->width());
    across->setSingleStep(std::max(1, QFontMetrics(m_lines.font()).averageCharWidth() * 2));
}

void LineView::paintEvent(QPaintEvent *event) {
    QPainter painter(viewport());
    painter.setFont(m_lines.font());
    const QRect area = event->rect();
    const int left = horizontalScrollBar()->value() - Margin;
    const int firstRow = verticalScrollBar()->value();
    const qsizetype from = firstRow + std::max(0, (area.top() - Margin) / rowHeight());
    const qsizetype to = std::min(m_lines.lineCount(),
                                  firstRow + qsizetype(area.bottom() - Margin) / rowHeight() + 1);
    const int ascent = QFontMetrics(m_lines.font()).ascent();
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    const auto drawRuns = [&](const std::vector<ShownLines::Run> &runs, int baseline) {
        for (const ShownLines::Run &run : runs)
            painter.drawText(QPointF(run.x - left, baseline),
                             text().mid(run.from, run.to - run.from));
    };
    for (qsizetype line = from; line < to; ++line) {
        const int top = Margin + int(line - firstRow) * rowHeight();
        const std::vector<ShownLines::Run> runs =
            m_lines.runs(line, left + area.left(), left + area.right() + 1);
        painter.setPen(palette().color(group, QPalette::Text));
        drawRuns(runs, top + ascent);
        const qsizetype start = std::max(selectionStart(), m_lines.lineStart(line));
        const qsizetype end = std::min(selectionEnd(), m_lines.lineEnd(line));
        const bool throughBreak = selectionEnd() > m_lines.lineEnd(line);
        if (start > end || (start == end && !throughBreak)
            || selectionStart() > m_lines.lineEnd(line))
            continue;
        const qreal x = m_lines.xOf(start);
        const qreal width = m_lines.xOf(end) - x + (throughBreak ? ascent / 2 : 0);
        const QRectF selected(x - left, top, width, rowHeight());
        painter.save();
        painter.fillRect(selected, palette().color(group, QPalette::Highlight));
        painter.setClipRect(selected);
        painter.setPen(palette().color(group, QPalette::HighlightedText));
        drawRuns(runs, top + ascent);
        painter.restore();
    }
    if (hasFocus())
        painter.fillRect(caretRect().adjusted(0, 0, 1 - caretRect().width(), 0),
                         palette().color(group, QPalette::Text));
}

void LineView::resizeEvent(QResizeEvent *event) {
    QAbstractScrollArea::resizeEvent(event);
    showRanges();
}

void LineView::changeEvent(QEvent *event) {
    if (event->type() == QEvent::FontChange) {
        m_lines.setFont(font());
        m_rowHeight = std::max(1, int(std::ceil(QFontMetricsF(m_lines.font()).lineSpacing())));
        showRanges();
        viewport()->update();
    }
    QAbstractScrollArea::changeEvent(event);
}

void LineView::moveCaret(qsizetype to, bool keepAnchor) {
    m_caret = std::clamp<qsizetype>(to, 0, m_lines.size());
    if (!keepAnchor)
        m_anchor = m_caret;
    scrollTo(m_caret);
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent moved(this, int(m_caret));
        QAccessible::updateAccessibility(&moved);
        QAccessibleTextSelectionEvent selected(this, int(selectionStart()), int(selectionEnd()));
        QAccessible::updateAccessibility(&selected);
    }
}

void LineView::keyPressEvent(QKeyEvent *event) {
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    const qsizetype to = m_motion.moved(m_lines, m_caret, *event, fullRows());
    if (to < 0) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    const bool extend = event->modifiers().testFlag(Qt::ShiftModifier);
    moveCaret(to, extend);
}

// A press in the selection may begin dragging it away; elsewhere it begins a selection.
void LineView::mousePressEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    m_motion.goalX = -1;
    const qsizetype at = offsetAt(event->position().toPoint());
    const bool shift = event->modifiers().testFlag(Qt::ShiftModifier);
    m_pressedAt = event->position().toPoint();
    m_dragging = !shift && at > selectionStart() && at < selectionEnd();
    m_selecting = !m_dragging;
    if (m_selecting)
        moveCaret(at, shift);
}

void LineView::mouseMoveEvent(QMouseEvent *event) {
    if (!event->buttons().testFlag(Qt::LeftButton))
        return;
    if (m_selecting) {
        moveCaret(offsetAt(event->position().toPoint()), true);
    } else if (m_dragging
               && (event->position().toPoint() - m_pressedAt).manhattanLength()
                      >= QApplication::startDragDistance()) {
        m_dragging = false;
        auto *drag = new QDrag(this);
        auto *mime = new QMimeData;
        mime->setText(selectedText());
        drag->setMimeData(mime);
        drag->exec(Qt::CopyAction);
    }
}

// As elsewhere on this system, what is selected with the mouse can be pasted with its middle
// button. A press in the selection that did not drag it puts the caret there.
void LineView::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return;
    if (m_dragging)
        moveCaret(offsetAt(event->position().toPoint()), false);
    m_dragging = false;
    if (m_selecting) {
        m_selecting = false;
        QClipboard *clipboard = QApplication::clipboard();
        if (m_anchor != m_caret && clipboard->supportsSelection())
            clipboard->setText(selectedText(), QClipboard::Selection);
    }
}

void LineView::mouseDoubleClickEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton)
        return;
    const qsizetype at = offsetAt(event->position().toPoint());
    qsizetype start = at, end = at;
    while (start > 0 && inWord(text().at(start - 1)))
        --start;
    while (end < text().size() && inWord(text().at(end)))
        ++end;
    select(start, end);
}

void LineView::focusInEvent(QFocusEvent *event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void LineView::focusOutEvent(QFocusEvent *event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}
