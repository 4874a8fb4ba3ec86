#include "form/received_data_box.h"

#include <QElapsedTimer>
#include <QPlainTextDocumentLayout>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

constexpr qsizetype MaximumKept = 2 * ReceivedDataBox::MinimumKept;
// UTF-8 takes at most three bytes per UTF-16 unit, so this many bytes always decode to at
// least MinimumKept characters: older bytes could never be shown.
constexpr qsizetype MaximumUndecoded = 3 * ReceivedDataBox::MinimumKept;
// The view lays out a whole line at a time; a line of a few hundred thousand characters takes
// seconds, so the view breaks longer runs into display lines of this length.
constexpr qsizetype LongestShownLine = 1024;
// A chunk after a quiet spell shows at once; while data keeps coming the view changes only a
// few times a second (each change costs a repaint and an accessibility notification), and a slow
// view less often still.
constexpr int QuickestRefreshMs = 20;
constexpr int SteadyRefreshMs = 250;
constexpr int SlowestRefreshMs = 500;

// Where to cut so that `keep` characters remain, without splitting a surrogate pair.
qsizetype cutPoint(const QString &text, qsizetype keep) {
    qsizetype cut = std::max<qsizetype>(0, text.size() - keep);
    if (cut > 0 && cut < text.size() && text.at(cut).isLowSurrogate())
        ++cut;
    return cut;
}

// Where the newest `limit` bytes of UTF-8 begin, on a character rather than inside one.
qsizetype utf8TailStart(const QByteArray &bytes, qsizetype limit) {
    if (bytes.size() <= limit)
        return 0;
    qsizetype from = bytes.size() - limit;
    for (int skipped = 0; skipped < 3 && from < bytes.size() && (bytes[from] & 0xc0) == 0x80;
         ++skipped)
        ++from;
    return from;
}

// How many bytes at the end of `bytes` begin a UTF-8 sequence that later bytes may complete.
qsizetype incompleteTail(QByteArrayView bytes) {
    for (qsizetype back = 1; back <= std::min<qsizetype>(3, bytes.size()); ++back) {
        const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((byte & 0xc0) == 0x80)
            continue;
        const int length = byte >= 0xf8   ? 1
                           : byte >= 0xf0 ? 4
                           : byte >= 0xe0 ? 3
                           : byte >= 0xc0 ? 2
                                          : 1;
        return length > back ? back : 0;
    }
    return 0;
}

// Invalid sequences become replacement characters; a byte order mark is shown like any other
// character (QString::fromUtf8 would drop one that begins the bytes).
QString decodeUtf8(QByteArrayView bytes) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless
                                                       | QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
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
    // Received after `text`, from `undecodedFrom` on; decoded only when someone looks. A
    // character split between two chunks stays here until the rest of it arrives.
    QByteArray undecoded;
    qsizetype undecodedFrom = 0;
    enum class Partial { Keep, Flush };
    void decode(Partial partial = Partial::Keep);
    void supersede();
    void append(const QString &more);
    QString pendingTail;
    bool rebuild = false;
    qsizetype shownLength = 0;    // characters of `text` the document holds
    qsizetype lastLineLength = 0; // length of the document's last line
    QTimer refresh;
    QElapsedTimer sinceRefresh;
    int refreshGap = SteadyRefreshMs; // the least time from one refresh to the next
};

ReceivedDataBox::ReceivedDataBox(QWidget *parent) : QPlainTextEdit(parent), d(new Private) {
    // An undo history would keep every chunk ever shown.
    setUndoRedoEnabled(false);
    d->refresh.setSingleShot(true);
    connect(&d->refresh, &QTimer::timeout, this, &ReceivedDataBox::refreshView);
}

ReceivedDataBox::~ReceivedDataBox() {
    delete d;
}

QString ReceivedDataBox::text() const {
    d->decode();
    return d->text;
}

void ReceivedDataBox::setText(const QString &text) {
    d->undecoded.clear();
    d->undecodedFrom = 0;
    d->text = text.size() > MinimumKept ? text.mid(cutPoint(text, MinimumKept)) : text;
    d->pendingTail.clear();
    d->rebuild = true;
    // A replacement comes after a pause or from the operator, never in a flood: shown at once.
    scheduleRefresh(Urgency::Soon);
}

void ReceivedDataBox::appendText(const QString &text) {
    if (text.isEmpty())
        return;
    // A note ends the received bytes before it: a character they left unfinished stays so.
    d->decode(Private::Partial::Flush);
    d->append(text);
    scheduleRefresh();
}

void ReceivedDataBox::setUtf8(const QByteArray &bytes) {
    setText(QString());
    appendUtf8(bytes);
}

void ReceivedDataBox::appendUtf8(const QByteArray &bytes) {
    if (bytes.isEmpty())
        return;
    if (bytes.size() >= MaximumUndecoded) {
        // The chunk alone fills the box: keep it shared, without a copy, and only its tail counts.
        d->undecoded = bytes;
        d->undecodedFrom = utf8TailStart(bytes, MaximumUndecoded);
        d->supersede();
    } else {
        d->undecoded += bytes;
        if (d->undecoded.size() - d->undecodedFrom > MaximumUndecoded) {
            d->undecodedFrom = utf8TailStart(d->undecoded, MaximumUndecoded);
            d->supersede();
        }
        if (d->undecodedFrom > MaximumUndecoded) { // compacted seldom, so appends stay cheap
            d->undecoded.remove(0, d->undecodedFrom);
            d->undecodedFrom = 0;
        }
    }
    scheduleRefresh();
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
    d->decode();
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

void ReceivedDataBox::Private::decode(Partial partial) {
    const QByteArrayView bytes = QByteArrayView(undecoded).sliced(undecodedFrom);
    const qsizetype held = partial == Partial::Keep ? incompleteTail(bytes) : 0;
    if (bytes.size() == held)
        return;
    const QString more = decodeUtf8(bytes.chopped(held));
    undecoded = bytes.last(held).toByteArray();
    undecodedFrom = 0;
    append(more);
}

// What is shown now would be pushed out entirely by the bytes still to decode.
void ReceivedDataBox::Private::supersede() {
    text.clear();
    pendingTail.clear();
    rebuild = true;
}

void ReceivedDataBox::Private::append(const QString &more) {
    if (more.size() >= MinimumKept) {
        text = more.mid(cutPoint(more, MinimumKept));
        pendingTail.clear();
        rebuild = true;
        return;
    }
    text += more;
    if (text.size() > MaximumKept) {
        text.remove(0, cutPoint(text, MinimumKept));
        rebuild = true;
    }
    if (rebuild)
        pendingTail.clear();
    else
        pendingTail += more;
}
