#include "window/line_view_access.h"

#include "window/line_view.h"

#include <QAccessibleWidget>

namespace {

class LineViewAccessible final : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit LineViewAccessible(LineView *view)
        : QAccessibleWidget(view, QAccessible::EditableText) {}

    void *interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        state.multiLine = true;
        state.selectableText = true;
        return state;
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return view()->text();
        return QAccessibleWidget::text(t);
    }

    void selection(int index, int *start, int *end) const override {
        *start = *end = 0;
        if (index == 0 && selectionCount() == 1) {
            *start = int(view()->selectionStart());
            *end = int(view()->selectionEnd());
        }
    }
    int selectionCount() const override {
        return view()->selectionStart() != view()->selectionEnd() ? 1 : 0;
    }
    void addSelection(int start, int end) override { view()->select(start, end); }
    void removeSelection(int) override { view()->select(view()->caret(), view()->caret()); }
    void setSelection(int, int start, int end) override { view()->select(start, end); }
    int cursorPosition() const override { return int(view()->caret()); }
    void setCursorPosition(int position) override { view()->select(position, position); }
    QString text(int start, int end) const override {
        return view()->text().mid(start, std::max(0, end - start));
    }
    int characterCount() const override { return int(view()->text().size()); }
    QRect characterRect(int offset) const override {
        const QRect shown = view()->characterRect(offset);
        return QRect(view()->viewport()->mapToGlobal(shown.topLeft()), shown.size());
    }
    int offsetAtPoint(const QPoint &point) const override {
        const QPoint at = view()->viewport()->mapFromGlobal(point);
        return view()->viewport()->rect().contains(at) ? int(view()->offsetAt(at)) : -1;
    }
    void scrollToSubstring(int start, int) override { view()->scrollTo(start); }
    QString attributes(int, int *start, int *end) const override {
        *start = 0;
        *end = characterCount();
        return {};
    }

    // Lines as the view shows them: a line ends at whichever line break arrived.
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                             int *end) const override {
        if (type != QAccessible::LineBoundary)
            return QAccessibleTextInterface::textBeforeOffset(offset, type, start, end);
        return lineText(view()->lines().lineOf(offset) - 1, start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                            int *end) const override {
        if (type != QAccessible::LineBoundary)
            return QAccessibleTextInterface::textAfterOffset(offset, type, start, end);
        return lineText(view()->lines().lineOf(offset) + 1, start, end);
    }
    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                         int *end) const override {
        if (type != QAccessible::LineBoundary)
            return QAccessibleTextInterface::textAtOffset(offset, type, start, end);
        return lineText(view()->lines().lineOf(offset), start, end);
    }

private:
    LineView *view() const { return static_cast<LineView *>(widget()); }

    // The line with its line break.
    QString lineText(qsizetype line, int *start, int *end) const {
        const ShownLines &lines = view()->lines();
        if (line < 0 || line >= lines.lineCount()) {
            *start = *end = -1;
            return {};
        }
        *start = int(lines.lineStart(line));
        *end = int(line + 1 < lines.lineCount() ? lines.lineStart(line + 1) : lines.size());
        return text(*start, *end);
    }
};

QAccessibleInterface *lineViewAccessible(const QString &className, QObject *object) {
    if (className == QLatin1String("LineView") && object && object->isWidgetType())
        return new LineViewAccessible(static_cast<LineView *>(object));
    return nullptr;
}

} // namespace

void installLineViewAccess() {
    static const bool installed = (QAccessible::installFactory(lineViewAccessible), true);
    Q_UNUSED(installed);
}
