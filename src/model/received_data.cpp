#include "model/received_data.h"

#include "net/link.h"

ReceivedChunk chunkFrom(const Link *link, QByteArray data, QDateTime arrival) {
    if (!link)
        return {std::move(data), std::move(arrival), {}, 0};
    ReceivedChunk chunk{
        std::move(data),      std::move(arrival), link->farAddress(), link->farPort(), {}, 0,
        link->chunkSecurity()};
    chunk.datagram = link->datagrams();
    chunk.localPort = link->nearPort();
    return chunk;
}

// The entries are the content; `text` is what they show, rendered when someone looks. Between
// two looks of the view it owes either everything afresh or just the characters appended since.
struct ReceivedData::Private {
    ReceivedEntries entries{MinimumKept};
    ShowOptions options;
    qint64 renderedTo = 0; // number of the first entry not yet in `text`
    ReceivedEntries::Carry carry;
    bool renderAll = false;
    QString text;
    QString pendingTail;
    bool afresh = false;

    void append(const QString &more);
};

ReceivedData::ReceivedData(QObject *parent) : QObject(parent), d(new Private) {}

ReceivedData::~ReceivedData() {
    delete d;
}

QString ReceivedData::text() const {
    render();
    return d->text;
}

void ReceivedData::setText(const QString &text) {
    start();
    appendText(text);
}

void ReceivedData::appendText(const QString &text, qint64 replyBytes) {
    if (text.isEmpty())
        return;
    emit noteArrived(text, replyBytes);
    d->entries.addNote(text);
    emit contentChanged();
}

void ReceivedData::setChunk(ReceivedChunk chunk) {
    start();
    appendChunk(std::move(chunk));
}

void ReceivedData::appendChunk(ReceivedChunk chunk) {
    emit chunkArrived(chunk);
    d->entries.addChunk(std::move(chunk));
    emit contentChanged();
}

const ReceivedEntries &ReceivedData::entries() const {
    return d->entries;
}

QByteArray ReceivedData::receivedBytes() const {
    return d->entries.receivedBytes();
}

std::optional<QByteArray> ReceivedData::chunkShownAt(qsizetype fromEnd) const {
    return d->entries.chunkShownAt(fromEnd, d->options);
}

// Everything held so far goes.
void ReceivedData::start() {
    d->entries.clear();
    d->renderedTo = d->entries.end();
    d->carry = {};
    d->text.clear();
    d->pendingTail.clear();
    d->afresh = true;
    emit replaced();
}

const ShowOptions &ReceivedData::options() const {
    return d->options;
}

void ReceivedData::setShowHex(bool on) {
    if (on == d->options.hex)
        return;
    d->options.hex = on;
    d->renderAll = true;
    emit optionsChanged();
}

void ReceivedData::setShowTimeStamps(bool on) {
    if (on == d->options.timeStamps)
        return;
    d->options.timeStamps = on;
    d->renderAll = true;
    emit optionsChanged();
}

void ReceivedData::setDesignHeight(int height) {
    if (height == m_height)
        return;
    m_height = height;
    emit heightChanged();
}

ReceivedData::ViewUpdate ReceivedData::takeViewUpdate() {
    render();
    ViewUpdate update;
    update.afresh = d->afresh;
    update.text = d->afresh ? d->text : std::exchange(d->pendingTail, {});
    if (!d->options.hex)
        update.waiting = decodeUtf8(d->carry.unfinished);
    d->afresh = false;
    d->pendingTail.clear();
    return update;
}

// Brings `text` up to the entries: only the new ones are rendered, unless they alone fill the
// view, which is then rendered afresh from the newest entries back.
void ReceivedData::render() const {
    if (d->renderAll || d->entries.fillTheView(d->renderedTo, d->options)) {
        d->text = d->entries.renderNewest(d->options, d->carry);
        if (d->text.size() > MaximumKept)
            d->text.remove(0, tailCut(d->text, MinimumKept));
        d->pendingTail.clear();
        d->afresh = true;
        d->renderAll = false;
    } else if (d->renderedTo < d->entries.end()) {
        QString more;
        d->entries.render(d->renderedTo, d->options, d->carry, more);
        d->append(more);
    }
    d->renderedTo = d->entries.end();
}

void ReceivedData::Private::append(const QString &more) {
    text += more;
    if (text.size() > MaximumKept) {
        text.remove(0, tailCut(text, MinimumKept));
        afresh = true;
    }
    if (afresh)
        pendingTail.clear();
    else
        pendingTail += more;
}
