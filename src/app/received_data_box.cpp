#include "app/received_data_box.h"

#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>

namespace {

constexpr qsizetype MaximumKept = 2 * ReceivedDataBox::MinimumKept;
// The view lays out a whole line at a time; a line of a few hundred thousand characters takes
// seconds, so the view breaks longer runs into display lines of this length.
constexpr qsizetype LongestShownLine = 1024;
constexpr int QuickestRefreshMs = 20;
constexpr int SlowestRefreshMs = 500;

// Where to cut so that `keep` characters remain, without splitting a surrogate pair.
qsizetype cutPoint(const QString &text, qsizetype keep) {
    qsizetype cut = std::max<qsizetype>(0, text.size() - keep);
    if (cut > 0 && cut < text.size() && text.at(cut).isLowSurrogate())
        ++cut;
    return cut;
}

// Characters the document treats as the end of a line.
bool endsLine(QChar c) {
    return c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator || c == QChar::LineSeparator
           || c == QChar(0xfdd0) || c == QChar(0xfdd1);
}

// `text` as the view shows it: a line break after every LongestShownLine characters of one
// line. `lineLength` is the length of the view's last line before `text` and after it.
QString shownText(const QString &text, qsizetype &lineLength) {
    QString shown;
    shown.reserve(text.size() + text.size() / LongestShownLine + 1);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (endsLine(c)) {
            lineLength = 0;
        } else if (lineLength >= LongestShownLine && !c.isLowSurrogate()) {
            shown += u'\n';
            lineLength = 0;
        }
        shown += c;
        if (!endsLine(c))
            ++lineLength;
    }
    return shown;
}

} // namespace

// The model (`text`) is the box's content; the document only shows it. Between refreshes the
// view owes either a complete rebuild or just the characters appended since the last one.
struct ReceivedDataBox::Private {
    QString text;
    QString pendingTail;
    bool rebuild = false;
    qsizetype shownLength = 0;    // characters of `text` the document holds
    qsizetype lastLineLength = 0; // length of the document's last line
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
        if (d->rebuild || d->shownLength + d->pendingTail.size() > MaximumKept) {
            d->lastLineLength = 0;
            setPlainText(shownText(d->text, d->lastLineLength));
            d->shownLength = d->text.size();
        } else if (!d->pendingTail.isEmpty()) {
            // Appending through a cursor keeps the scroll position and the cost per chunk.
            const int scroll = verticalScrollBar()->value();
            QTextCursor cursor(document());
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(shownText(d->pendingTail, d->lastLineLength));
            d->shownLength += d->pendingTail.size();
            verticalScrollBar()->setValue(scroll);
        }
        d->rebuild = false;
        d->pendingTail.clear();
        // A slow view is refreshed less often, so a flood never takes all of the window's time.
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
