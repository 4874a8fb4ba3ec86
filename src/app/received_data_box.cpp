#include "app/received_data_box.h"

#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>

namespace {

constexpr qsizetype MaximumKept = 2 * ReceivedDataBox::MinimumKept;
constexpr int QuickestRefreshMs = 20;
constexpr int SlowestRefreshMs = 500;

// Where to cut so that `keep` characters remain, without splitting a surrogate pair.
qsizetype cutPoint(const QString &text, qsizetype keep) {
    qsizetype cut = std::max<qsizetype>(0, text.size() - keep);
    if (cut > 0 && cut < text.size() && text.at(cut).isLowSurrogate())
        ++cut;
    return cut;
}

} // namespace

// The model (`text`) is the box's content; the document only mirrors it. Between refreshes the
// view either owes a complete rebuild or just the characters appended since the last one.
struct ReceivedDataBox::Private {
    QString text;
    QString pendingTail;
    bool rebuild = false;
    qsizetype viewLength = 0;
    QTimer refresh;
};

ReceivedDataBox::ReceivedDataBox(QWidget *parent) : QPlainTextEdit(parent), d(new Private) {
    // An undo history would keep every chunk ever shown.
    setUndoRedoEnabled(false);
    d->refresh.setSingleShot(true);
    d->refresh.setInterval(QuickestRefreshMs);
    connect(&d->refresh, &QTimer::timeout, this, [this] {
        QElapsedTimer cost;
        cost.start();
        if (d->rebuild || d->viewLength + d->pendingTail.size() > MaximumKept) {
            setPlainText(d->text);
            d->viewLength = d->text.size();
        } else if (!d->pendingTail.isEmpty()) {
            // Appending through a cursor keeps the scroll position and the cost per chunk.
            const int scroll = verticalScrollBar()->value();
            QTextCursor cursor(document());
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(d->pendingTail);
            d->viewLength += d->pendingTail.size();
            verticalScrollBar()->setValue(scroll);
        }
        d->rebuild = false;
        d->pendingTail.clear();
        // A slow view is refreshed less often, so a flood never takes the window's time.
        d->refresh.setInterval(
            int(std::clamp<qint64>(2 * cost.elapsed(), QuickestRefreshMs, SlowestRefreshMs)));
    });
}

ReceivedDataBox::~ReceivedDataBox() {
    delete d;
}

QString ReceivedDataBox::text() const {
    return d->text;
}

void ReceivedDataBox::setText(const QString &text) {
    d->text = text.size() > MinimumKept ? text.mid(cutPoint(text, MinimumKept)) : text;
    d->pendingTail.clear();
    d->rebuild = true;
    if (!d->refresh.isActive())
        d->refresh.start();
}

void ReceivedDataBox::appendText(const QString &text) {
    if (text.isEmpty())
        return;
    if (text.size() >= MinimumKept) {
        setText(text);
        return;
    }
    d->text += text;
    if (d->text.size() > MaximumKept) {
        d->text.remove(0, cutPoint(d->text, MinimumKept));
        d->rebuild = true;
    }
    if (d->rebuild)
        d->pendingTail.clear();
    else
        d->pendingTail += text;
    if (!d->refresh.isActive())
        d->refresh.start();
}
