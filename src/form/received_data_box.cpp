#include "form/received_data_box.h"

#include "form/received_data_actions.h"
#include "net/socket_control.h"

#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QMenu>
#include <QPlainTextDocumentLayout>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

constexpr qsizetype MaximumKept = 2 * ReceivedDataBox::MinimumKept;
// The view lays out a whole line at a time; a line of a few hundred thousand characters takes
// seconds, so the view breaks longer runs into display lines of this length.
constexpr qsizetype LongestShownLine = 1024;
// A chunk after a quiet spell shows at once; while data keeps coming the view changes only a
// few times a second (each change costs a repaint and an accessibility notification), and a slow
// view less often still.
constexpr int QuickestRefreshMs = 20;
constexpr int SteadyRefreshMs = 250;
constexpr int SlowestRefreshMs = 500;

// `text` as the view shows it: a line break after every LongestShownLine characters of one
// line. `lineLength` is the length of the view's last line before `text` and after it.
QString shownText(const QString &text, qsizetype &lineLength) {
    QString shown;
    shown.reserve(text.size() + text.size() / LongestShownLine + 1);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (endsShownLine(c)) {
            lineLength = 0;
        } else if (lineLength >= LongestShownLine && !c.isLowSurrogate()) {
            shown += u'\n';
            lineLength = 0;
        }
        shown += c;
        if (!endsShownLine(c))
            ++lineLength;
    }
    return shown;
}

} // namespace

ReceivedChunk chunkFrom(const SocketControl *socket, QByteArray data, QDateTime arrival) {
    if (!socket)
        return {std::move(data), std::move(arrival), {}, 0};
    return {std::move(data), std::move(arrival), socket->RemoteHostIP(), socket->PeerPort()};
}

// The entries are the box's content; `text` is what they show, rendered when someone looks,
// and the document only shows `text`. Between refreshes the view owes either a complete
// rebuild or just the characters appended since the last one.
struct ReceivedDataBox::Private {
    ReceivedEntries entries{MinimumKept};
    ShowOptions options;
    qint64 renderedTo = 0; // number of the first entry not yet in `text`
    ReceivedEntries::Carry carry;
    bool renderAll = false;
    QString text;
    void render();
    void append(const QString &more);

    QString pendingTail;
    bool rebuild = false;
    qsizetype shownLength = 0;    // characters of `text` the document holds
    qsizetype lastLineLength = 0; // length of the document's last line
    QTimer refresh;
    QElapsedTimer sinceRefresh;
    int refreshGap = SteadyRefreshMs; // the least time from one refresh to the next

    QFont textFont; // the box's own font, while the hex view shows a fixed-pitch one
    ReceivedDataActions *actions = nullptr;
};

ReceivedDataBox::ReceivedDataBox(QWidget *parent) : QPlainTextEdit(parent), d(new Private) {
    // An undo history would keep every chunk ever shown.
    setUndoRedoEnabled(false);
    d->refresh.setSingleShot(true);
    connect(&d->refresh, &QTimer::timeout, this, &ReceivedDataBox::refreshView);
    d->actions = new ReceivedDataActions(this);
}

ReceivedDataBox::~ReceivedDataBox() {
    delete d;
}

QString ReceivedDataBox::text() const {
    d->render();
    return d->text;
}

void ReceivedDataBox::setText(const QString &text) {
    start();
    appendText(text);
}

void ReceivedDataBox::appendText(const QString &text) {
    if (text.isEmpty())
        return;
    d->entries.addNote(text);
    scheduleRefresh();
}

void ReceivedDataBox::setChunk(ReceivedChunk chunk) {
    start();
    appendChunk(std::move(chunk));
}

void ReceivedDataBox::appendChunk(ReceivedChunk chunk) {
    d->entries.addChunk(std::move(chunk));
    scheduleRefresh();
}

void ReceivedDataBox::setUtf8(const QByteArray &bytes) {
    setChunk({bytes, QDateTime::currentDateTime(), {}, 0});
}

void ReceivedDataBox::appendUtf8(const QByteArray &bytes) {
    appendChunk({bytes, QDateTime::currentDateTime(), {}, 0});
}

void ReceivedDataBox::clear() {
    setText(QString());
}

QByteArray ReceivedDataBox::receivedBytes() const {
    return d->entries.receivedBytes();
}

// Everything held so far goes; a replacement comes after a pause or from the operator, never
// in a flood, so it is shown at once.
void ReceivedDataBox::start() {
    d->entries.clear();
    d->renderedTo = d->entries.end();
    d->carry = {};
    d->text.clear();
    d->pendingTail.clear();
    d->rebuild = true;
    scheduleRefresh(Urgency::Soon);
}

bool ReceivedDataBox::showHex() const {
    return d->options.hex;
}

void ReceivedDataBox::setShowHex(bool on) {
    if (on == d->options.hex)
        return;
    ShowOptions options = d->options;
    options.hex = on;
    // Dump columns line up only in a fixed-pitch font.
    if (on) {
        d->textFont = font();
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        if (d->textFont.pointSizeF() > 0)
            fixed.setPointSizeF(d->textFont.pointSizeF());
        setFont(fixed);
    } else {
        setFont(d->textFont);
    }
    setOptions(options);
    emit showHexToggled(on);
}

bool ReceivedDataBox::showTimeStamps() const {
    return d->options.timeStamps;
}

void ReceivedDataBox::setShowTimeStamps(bool on) {
    if (on == d->options.timeStamps)
        return;
    ShowOptions options = d->options;
    options.timeStamps = on;
    setOptions(options);
    emit showTimeStampsToggled(on);
}

void ReceivedDataBox::setOptions(const ShowOptions &options) {
    d->options = options;
    d->actions->showOptions(options);
    d->renderAll = true;
    scheduleRefresh(Urgency::Soon);
}

void ReceivedDataBox::setSaveDialog(SaveDialog dialog) {
    d->actions->setSaveDialog(std::move(dialog));
}

// Qt's own entries, then the box's.
void ReceivedDataBox::contextMenuEvent(QContextMenuEvent *event) {
    const std::unique_ptr<QMenu> menu(createStandardContextMenu(event->pos()));
    d->actions->addTo(menu.get());
    menu->exec(event->globalPos());
}

// Shift+F10 opens the menu as the Menu key does.
void ReceivedDataBox::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        const QPoint at = cursorRect().center();
        QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, at, viewport()->mapToGlobal(at));
        contextMenuEvent(&menuEvent);
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void ReceivedDataBox::scheduleRefresh(Urgency urgency) {
    const qint64 since = d->sinceRefresh.isValid() ? d->sinceRefresh.elapsed() : d->refreshGap;
    const int delay = urgency == Urgency::Soon
                          ? QuickestRefreshMs
                          : int(std::max<qint64>(QuickestRefreshMs, d->refreshGap - since));
    if (!d->refresh.isActive() || d->refresh.remainingTime() > delay)
        d->refresh.start(delay);
}

void ReceivedDataBox::refreshView() {
    QElapsedTimer cost;
    cost.start();
    d->render();
    if (d->rebuild || d->shownLength + d->pendingTail.size() > MaximumKept) {
        d->lastLineLength = 0;
        showAfresh(shownText(d->text, d->lastLineLength));
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
    d->sinceRefresh.start();
    d->refreshGap = int(std::clamp<qint64>(2 * cost.elapsed(), SteadyRefreshMs, SlowestRefreshMs));
}

// A new document instead of replacing the text of the shown one: an edit of the shown document
// makes the text control send the whole old and new text to accessibility clients (over D-Bus
// on Linux), several times a second in a flood; a new document only moves the caret.
void ReceivedDataBox::showAfresh(const QString &shown) {
    QTextDocument *old = document();
    auto *fresh = new QTextDocument(this);
    fresh->setDocumentLayout(new QPlainTextDocumentLayout(fresh));
    fresh->setUndoRedoEnabled(false);
    fresh->setDefaultFont(old->defaultFont());
    fresh->setDefaultTextOption(old->defaultTextOption());
    fresh->setDocumentMargin(old->documentMargin());
    fresh->setPlainText(shown);
    // The text control deletes only the document it made itself.
    const std::unique_ptr<QTextDocument> ours(old->parent() == this ? old : nullptr);
    setDocument(fresh);
}

// Brings `text` up to the entries: only the new ones are rendered, unless they alone fill the
// view, which is then rendered afresh from the newest entries back.
void ReceivedDataBox::Private::render() {
    if (renderAll || entries.fillTheView(renderedTo, options)) {
        text = entries.renderNewest(options, carry);
        if (text.size() > MaximumKept)
            text.remove(0, tailCut(text, MinimumKept));
        pendingTail.clear();
        rebuild = true;
        renderAll = false;
    } else if (renderedTo < entries.end()) {
        QString more;
        entries.render(renderedTo, options, carry, more);
        append(more);
    }
    renderedTo = entries.end();
}

void ReceivedDataBox::Private::append(const QString &more) {
    text += more;
    if (text.size() > MaximumKept) {
        text.remove(0, tailCut(text, MinimumKept));
        rebuild = true;
    }
    if (rebuild)
        pendingTail.clear();
    else
        pendingTail += more;
}
