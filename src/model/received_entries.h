#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

// One piece of received data as it arrived: its bytes, when (local time) and from whom (the
// address as the status line shows it, and the port).
struct ReceivedChunk {
    QByteArray data;
    QDateTime arrival;
    QString peerAddress;
    int peerPort = 0;
    // A relayed chunk: where it went on to, shown after its sender ("a:1 -> b:2"); empty else.
    QString toAddress = {};
    int toPort = 0;
    // The first chunk of a TLS connection: its protocol, cipher and peer certificate.
    QString security{};
    // A UDP datagram rather than a piece of a TCP stream, and the port it came in on (0: not
    // known); a capture of the box writes them so.
    bool datagram = false;
    int localPort = 0;
    // A relayed chunk: what the relay's named faults will do to it ("lat: latency 120 ms"), for
    // the capture's comment; empty when none acts.
    QString faultNote = {};
};

// A relayed chunk's ends as the time-stamp line and the log mark them: "a:1 -> b:2".
QString relayedPairText(const ReceivedChunk &chunk);

// How the received-data box shows what it holds.
struct ShowOptions {
    bool hex = false;        // each chunk as a hex dump of its bytes
    bool timeStamps = false; // each chunk after a line with its arrival, peer and size
};

// `bytes` as shown: invalid sequences become replacement characters, and a byte order mark shows
// like any other character.
QString decodeUtf8(QByteArrayView bytes);

// Characters that end a line of the shown text.
bool endsShownLine(QChar c);
// Where to cut `text` so that its last `keep` characters remain, without splitting a surrogate
// pair.
qsizetype tailCut(const QString &text, qsizetype keep);

// What the received-data box holds, oldest first: received chunks and the notes written between
// them, each entry numbered in the order it came. It keeps the newest entries that show at least
// `shown` characters in any view (three times as many bytes and note characters, or `shown`
// entries), so memory stays bounded however the data comes; a chunk longer than that keeps
// only its tail.
class ReceivedEntries {
public:
    explicit ReceivedEntries(qsizetype shown) : m_shown(shown) {}

    void clear();
    void addChunk(ReceivedChunk chunk);
    void addNote(QString note);

    qint64 begin() const { return m_first; } // number of the oldest entry still held
    qint64 end() const { return m_first + qint64(m_entries.size()); }
    // Every received byte still held, in order, without notes or time stamps.
    QByteArray receivedBytes() const;
    // The bytes of the chunk whose shown text holds the character `fromEnd` characters before
    // the end of what the entries show; nothing for a note or beyond the entries.
    std::optional<QByteArray> chunkShownAt(qsizetype fromEnd, const ShowOptions &options) const;
    // Each received chunk still held, in order, with the bytes of it that are kept.
    void forEachChunk(
        const std::function<void(const ReceivedChunk &chunk, QByteArrayView kept)> &visit) const;

    // What one rendering leaves to the next: the bytes of a character whose end has not
    // arrived yet, and whether the shown text ends inside a line.
    struct Carry {
        QByteArray unfinished;
        bool lineOpen = false;
    };
    // Appends the shown text of the entries from number `from` on to `out`.
    void render(qint64 from, const ShowOptions &options, Carry &carry, QString &out) const;
    // The shown text of the newest entries, at least `shown` characters where the entries hold
    // that much; only what is needed is rendered. `carry` is set up for what follows.
    QString renderNewest(const ShowOptions &options, Carry &carry) const;
    // True when the entries from number `from` on show at least `shown` characters.
    bool fillTheView(qint64 from, const ShowOptions &options) const;

private:
    struct Entry {
        ReceivedChunk chunk;
        qsizetype dropped = 0; // bytes cut from the front of the chunk (a multiple of 16)
        QString note;
        bool isNote = false;
        qsizetype offset = 0; // where the bytes kept begin in chunk.data
        // The chunk's bytes that are kept, without the ones dropped.
        QByteArrayView bytes() const { return QByteArrayView(chunk.data).sliced(offset); }
        qsizetype weight() const { return isNote ? note.size() : chunk.data.size() - offset; }
    };
    void add(Entry entry);
    void renderEntry(const Entry &entry, qsizetype fromByte, const ShowOptions &options,
                     Carry &carry, QString &out) const;
    qsizetype shownAtLeast(const Entry &entry, const ShowOptions &options) const;
    QByteArray unfinishedBefore(std::size_t index) const;

    qsizetype m_shown;
    std::deque<Entry> m_entries;
    qint64 m_first = 0;
    qsizetype m_weight = 0;
};
