#include "model/received_entries.h"

#include "runtime/hex_dump.h"
#include "runtime/host_port.h"

#include <QStringDecoder>

#include <algorithm>

namespace {

constexpr qsizetype HexLineBytes = 16;
// "[yyyy-MM-dd HH:mm:ss.zzz] " and the shortest size, "0 bytes".
constexpr qsizetype ShortestStampLine = 26 + 7;

// Where a character begins at or just after `from` (a character takes at most four bytes).
qsizetype characterStart(QByteArrayView bytes, qsizetype from) {
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

// Where to start decoding `bytes` so that at least `characters` characters show: every byte
// that is not a continuation byte shows as at least one character, valid or not, but for the
// start of a character held back at the end. Random or ASCII data needs about one byte per
// character, text of three-byte characters three.
qsizetype textStartFor(QByteArrayView bytes, qsizetype characters) {
    qsizetype from = bytes.size();
    for (qsizetype starts = 0; from > 0 && starts <= characters;) {
        if ((bytes[--from] & 0xc0) != 0x80)
            ++starts;
    }
    return from;
}

void appendShown(QString &out, ReceivedEntries::Carry &carry, const QString &text) {
    if (text.isEmpty())
        return;
    out += text;
    carry.lineOpen = !endsShownLine(text.back());
}

// "[2026-12-07 09:34:51.042] 192.168.1.20:51234, 12 bytes"
QString timeStampLine(const ReceivedChunk &chunk, qsizetype size) {
    QString line = u'[' + chunk.arrival.toLocalTime().toString(u"yyyy-MM-dd HH:mm:ss.zzz")
                   + QStringLiteral("] ");
    if (!chunk.peerAddress.isEmpty() && !chunk.toAddress.isEmpty())
        line += relayedPairText(chunk) + QStringLiteral(", ");
    else if (!chunk.peerAddress.isEmpty())
        line += joinHostPort(chunk.peerAddress, chunk.peerPort) + QStringLiteral(", ");
    line +=
        QString::number(size) + (size == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
    if (!chunk.security.isEmpty())
        line += QStringLiteral(", ") + chunk.security;
    return line;
}

} // namespace

QString relayedPairText(const ReceivedChunk &chunk) {
    return joinHostPort(chunk.peerAddress, chunk.peerPort) + QStringLiteral(" -> ")
           + joinHostPort(chunk.toAddress, chunk.toPort);
}

// QString::fromUtf8 would drop a byte order mark that begins the bytes; otherwise it decodes
// exactly as the decoder does, twice as fast on bytes that are not ASCII, unless the bytes end
// inside a character.
QString decodeUtf8(QByteArrayView bytes) {
    if (!bytes.startsWith("\xef\xbb\xbf") && incompleteTail(bytes) == 0)
        return QString::fromUtf8(bytes);
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless
                                                       | QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

qsizetype tailCut(const QString &text, qsizetype keep) {
    qsizetype cut = std::max<qsizetype>(0, text.size() - keep);
    if (cut > 0 && cut < text.size() && text.at(cut).isLowSurrogate())
        ++cut;
    return cut;
}

bool endsShownLine(QChar c) {
    return c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator || c == QChar::LineSeparator
           || c == QChar(0xfdd0) || c == QChar(0xfdd1);
}

void ReceivedEntries::clear() {
    m_first = end();
    m_entries.clear();
    m_weight = 0;
}

void ReceivedEntries::addChunk(ReceivedChunk chunk) {
    Entry entry{std::move(chunk), 0, {}, false};
    QByteArray &data = entry.chunk.data;
    const qsizetype excess = data.size() - 3 * m_shown;
    if (excess > 0)
        entry.dropped = (excess + HexLineBytes - 1) / HexLineBytes * HexLineBytes;
    // The bytes kept stay where they came (a flood's chunks are not copied), unless the array is
    // mostly something else: a socket read may leave a few bytes in a buffer of many kilobytes,
    // and a huge chunk keeps only its tail; kept by the thousand, the rest would outweigh the
    // data.
    const qsizetype kept = data.size() - entry.dropped;
    if (data.capacity() > 2 * kept + 64) {
        if (entry.dropped > 0)
            data = data.sliced(entry.dropped);
        data.squeeze();
    } else {
        entry.offset = entry.dropped;
    }
    add(std::move(entry));
}

void ReceivedEntries::addNote(QString note) {
    if (note.size() > 3 * m_shown)
        note = note.sliced(tailCut(note, 3 * m_shown));
    add({{}, 0, std::move(note), true});
}

void ReceivedEntries::add(Entry entry) {
    m_weight += entry.weight();
    m_entries.push_back(std::move(entry));
    while (m_entries.size() > 1
           && (m_weight - m_entries.front().weight() >= 3 * m_shown
               || qsizetype(m_entries.size()) > m_shown)) {
        m_weight -= m_entries.front().weight();
        m_entries.pop_front();
        ++m_first;
    }
}

QByteArray ReceivedEntries::receivedBytes() const {
    QByteArray bytes;
    bytes.reserve(m_weight);
    for (const Entry &entry : m_entries)
        bytes.append(entry.bytes());
    return bytes;
}

void ReceivedEntries::forEachChunk(
    const std::function<void(const ReceivedChunk &chunk, QByteArrayView kept)> &visit) const {
    for (const Entry &entry : m_entries) {
        if (!entry.isNote)
            visit(entry.chunk, entry.bytes());
    }
}

void ReceivedEntries::render(qint64 from, const ShowOptions &options, Carry &carry,
                             QString &out) const {
    for (auto index = std::size_t(std::max(from, m_first) - m_first); index < m_entries.size();
         ++index)
        renderEntry(m_entries[index], 0, options, carry, out);
}

QString ReceivedEntries::renderNewest(const ShowOptions &options, Carry &carry) const {
    carry = {};
    if (m_entries.empty())
        return {};
    // From the newest entry back to the one that completes the view, and within it only the
    // bytes that are needed.
    qsizetype needed = m_shown;
    std::size_t index = m_entries.size();
    qsizetype fromByte = 0;
    while (index > 0) {
        const Entry &entry = m_entries[--index];
        const qsizetype least = shownAtLeast(entry, options);
        if (least < needed) {
            needed -= least;
            continue;
        }
        if (!entry.isNote && options.hex) {
            fromByte = std::max<qsizetype>(0, entry.bytes().size() - (needed + 3) / 4);
            fromByte -= fromByte % HexLineBytes;
        } else if (!entry.isNote) {
            fromByte = textStartFor(entry.bytes(), needed);
        }
        break;
    }
    if (!options.hex && fromByte == 0 && m_entries[index].dropped == 0)
        carry.unfinished = unfinishedBefore(index);
    QString out;
    for (; index < m_entries.size(); ++index, fromByte = 0)
        renderEntry(m_entries[index], fromByte, options, carry, out);
    return out;
}

bool ReceivedEntries::fillTheView(qint64 from, const ShowOptions &options) const {
    if (from < m_first)
        return true;
    qsizetype shown = 0;
    for (auto index = std::size_t(from - m_first); index < m_entries.size() && shown < m_shown;
         ++index)
        shown += shownAtLeast(m_entries[index], options);
    return shown >= m_shown;
}

std::optional<QByteArray> ReceivedEntries::chunkShownAt(qsizetype fromEnd,
                                                        const ShowOptions &options) const {
    qsizetype shown = 0;
    for (auto entry = m_entries.rbegin(); entry != m_entries.rend(); ++entry) {
        Carry carry;
        QString text;
        renderEntry(*entry, 0, options, carry, text);
        shown += text.size() + decodeUtf8(carry.unfinished).size();
        if (fromEnd < shown)
            return entry->isNote ? std::nullopt : std::optional(entry->bytes().toByteArray());
    }
    return std::nullopt;
}

void ReceivedEntries::renderEntry(const Entry &entry, qsizetype fromByte,
                                  const ShowOptions &options, Carry &carry, QString &out) const {
    if (entry.isNote) {
        // A note ends the received bytes before it: a character they left unfinished stays so.
        appendShown(out, carry, decodeUtf8(carry.unfinished));
        carry.unfinished.clear();
        appendShown(out, carry, entry.note);
        return;
    }
    if (options.timeStamps) {
        if (carry.lineOpen)
            out += u'\n';
        out += timeStampLine(entry.chunk, entry.dropped + entry.bytes().size()) + u'\n';
        carry.lineOpen = false;
    }
    const QByteArrayView data = entry.bytes();
    if (options.hex) {
        const QByteArrayView shown = data.sliced(fromByte);
        appendShown(out, carry,
                    QString::fromLatin1(hexDump(QByteArray::fromRawData(shown.data(), shown.size()),
                                                entry.dropped + fromByte)));
        return;
    }
    // A cut chunk shows from its first whole character on.
    if (fromByte > 0 || entry.dropped > 0)
        fromByte = characterStart(data, fromByte);
    QByteArrayView bytes = QByteArrayView(data).sliced(fromByte);
    QByteArray joined;
    if (!carry.unfinished.isEmpty()) {
        joined = carry.unfinished + bytes.toByteArray();
        bytes = joined;
    }
    const qsizetype held = incompleteTail(bytes);
    appendShown(out, carry, decodeUtf8(bytes.chopped(held)));
    carry.unfinished = bytes.last(held).toByteArray();
    if (held > 0)
        carry.lineOpen = true;
}

qsizetype ReceivedEntries::shownAtLeast(const Entry &entry, const ShowOptions &options) const {
    if (entry.isNote)
        return entry.note.size();
    const qsizetype size = entry.bytes().size();
    // A byte shows as at least four characters in a dump, and UTF-8 takes at most three bytes
    // for one character.
    return (options.timeStamps ? ShortestStampLine : 0) + (options.hex ? 4 * size + 9 : size / 3);
}

// The start of a character that the chunks before entry `index` left unfinished.
QByteArray ReceivedEntries::unfinishedBefore(std::size_t index) const {
    QByteArray tail;
    while (index > 0 && tail.size() < 3) {
        const Entry &entry = m_entries[--index];
        if (entry.isNote)
            break;
        const QByteArrayView bytes = entry.bytes();
        tail.prepend(bytes.last(std::min<qsizetype>(bytes.size(), 3 - tail.size())).toByteArray());
    }
    return tail.right(incompleteTail(tail));
}
