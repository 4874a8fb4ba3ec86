#include "window/received_data_box.h"

#include "model/received_data.h"
#include "window/received_data_actions.h"

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

// The view lays out a whole line at a time; a line of a few hundred thousand characters takes
// seconds, so the view breaks longer runs into display lines of this length.
constexpr qsizetype LongestShownLine = 1024;
// A chunk after a quiet spell shows at once; while data keeps coming the view changes only a
// few times a second (each change costs a repaint and an accessibility notification), and a
// costly view less often still, so showing a flood takes only a small share of the thread that
// receives and logs it.
constexpr int QuickestRefreshMs = 20;
constexpr int SteadyRefreshMs = 250;
constexpr int SlowestRefreshMs = 1000;
constexpr int RefreshCostShare = 10; // the gap is at least this many times a refresh's cost

// `text` as the view shows it: a line break after every LongestShownLine characters of one
// line. `lineLength` is the length of the view's last line before `text` and after it.
QString shownText(const QString &text, qsizetype &lineLength) {
    QString shown;
    shown.reserve(text.size() + text.size() / LongestShownLine + 1);
    // Copied in runs between the inserted breaks; a refresh in a flood shows a quarter of a
    // million characters.
    const QChar *run = text.constData();
    const QChar *const end = run + text.size();
    for (const QChar *at = run; at < end; ++at) {
        if (endsShownLine(*at)) {
            lineLength = 0;
            continue;
        }
        if (lineLength >= LongestShownLine && !at->isLowSurrogate()) {
            shown.append(run, at - run);
            shown.append(u'\n');
            run = at;
            lineLength = 0;
        }
        ++lineLength;
    }
    shown.append(run, end - run);
    return shown;
}

} // namespace

// What the view holds of the data, and when it looks again.
struct ReceivedDataBox::Private {
    qsizetype lastLineLength = 0; // length of the document's last line
    qsizetype waitingShown = 0;   // replacement marks at the end for a character not yet whole
    bool endsInCr = false;        // a CR LF split between two looks is one line break
    QTimer refresh;
    QElapsedTimer sinceRefresh;
    int refreshGap = SteadyRefreshMs; // the least time from one refresh to the next
    qint64 refreshCost = 0;           // ms the last refresh took
    qint64 paintCost = 0;             // ms the costliest repaint since then took
    QFont textFont; // the box's own font, while the hex view shows a fixed-pitch one
};

ReceivedDataBox::ReceivedDataBox(ReceivedData &data, QWidget *parent)
    : QPlainTextEdit(parent), m_data(data), d(new Private) {
    // An undo history would keep every chunk ever shown.
    setUndoRedoEnabled(false);
    d->refresh.setSingleShot(true);
    connect(&d->refresh, &QTimer::timeout, this, &ReceivedDataBox::refreshView);
    m_actions = new ReceivedDataActions(this);
    connect(&data, &ReceivedData::contentChanged, this, [this] { scheduleRefresh(); });
    // A replacement comes after a pause or from the operator, never in a flood: shown at once.
    connect(&data, &ReceivedData::replaced, this, [this] { scheduleRefresh(Urgency::Soon); });
    connect(&data, &ReceivedData::optionsChanged, this, &ReceivedDataBox::showOptions);
    d->textFont = font();
    if (data.options().hex || data.options().timeStamps)
        showOptions();
}

ReceivedDataBox::~ReceivedDataBox() {
    delete d;
}

// Dump columns line up only in a fixed-pitch font.
void ReceivedDataBox::showOptions() {
    const ShowOptions &options = m_data.options();
    const bool fixed = font().fixedPitch() && font() != d->textFont;
    if (options.hex && !fixed) {
        d->textFont = font();
        QFont fixedFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        if (d->textFont.pointSizeF() > 0)
            fixedFont.setPointSizeF(d->textFont.pointSizeF());
        setFont(fixedFont);
    } else if (!options.hex && fixed) {
        setFont(d->textFont);
    }
    m_actions->showOptions(options);
    scheduleRefresh(Urgency::Soon);
}

void ReceivedDataBox::setSaveDialog(SaveDialog dialog) {
    m_actions->setSaveDialog(std::move(dialog));
}

// Qt's own entries, then the box's.
void ReceivedDataBox::contextMenuEvent(QContextMenuEvent *event) {
    const std::unique_ptr<QMenu> menu(createStandardContextMenu(event->pos()));
    m_actions->addTo(menu.get());
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
    const ReceivedData::ViewUpdate update = m_data.takeViewUpdate();
    if (update.afresh) {
        d->lastLineLength = 0;
        d->waitingShown = 0;
        d->endsInCr = false;
        showAfresh(shownText(update.text + update.waiting, d->lastLineLength));
        d->waitingShown = update.waiting.size();
    } else {
        // Appending through a cursor keeps the scroll position and the cost per chunk.
        const int scroll = verticalScrollBar()->value();
        dropWaiting();
        QString more = update.text;
        if (d->endsInCr && more.startsWith(u'\n'))
            more.remove(0, 1);
        if (!more.isEmpty())
            d->endsInCr = more.endsWith(u'\r');
        appendShown(more + update.waiting);
        d->waitingShown = update.waiting.size();
        verticalScrollBar()->setValue(scroll);
    }
    if (update.afresh)
        d->endsInCr = update.text.endsWith(u'\r');
    d->sinceRefresh.start();
    d->refreshCost = cost.elapsed();
    d->paintCost = 0;
    paceRefreshes();
}

// The gap to the next refresh is a multiple of what the last one cost, its repaint included.
void ReceivedDataBox::paceRefreshes() {
    d->refreshGap = int(std::clamp<qint64>(RefreshCostShare * (d->refreshCost + d->paintCost),
                                           SteadyRefreshMs, SlowestRefreshMs));
}

void ReceivedDataBox::paintEvent(QPaintEvent *event) {
    QElapsedTimer cost;
    cost.start();
    QPlainTextEdit::paintEvent(event);
    d->paintCost = std::max(d->paintCost, cost.elapsed());
    paceRefreshes();
}

void ReceivedDataBox::appendShown(const QString &text) {
    if (text.isEmpty())
        return;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shownText(text, d->lastLineLength));
}

// The marks shown for a character whose end had not arrived: the next look shows it whole, or
// the marks again.
void ReceivedDataBox::dropWaiting() {
    if (d->waitingShown == 0)
        return;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.movePosition(QTextCursor::Left, QTextCursor::KeepAnchor, int(d->waitingShown));
    cursor.removeSelectedText();
    d->lastLineLength = std::max<qsizetype>(0, d->lastLineLength - d->waitingShown);
    d->waitingShown = 0;
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
