#pragma once

#include "model/received_entries.h"

#include <QObject>

class Link;

// The received-data box's content: what arrived as entries (received chunks with their arrival
// and peer, and the notes written between them), and the text they show, as text or, when
// asked, each chunk as a hex dump of its bytes, with or without a time-stamp line before each
// chunk. It keeps only the newest (at least MinimumKept characters of what it shows), so a
// flood cannot exhaust memory, and adding costs time in proportion to the chunk, not to the
// box: nothing is decoded until someone looks.
class ReceivedData : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReceivedData)

public:
    static constexpr qsizetype MinimumKept = 256 * 1024;
    static constexpr qsizetype MaximumKept = 2 * MinimumKept;

    explicit ReceivedData(QObject *parent = nullptr);
    ~ReceivedData() override;

    // What the box shows, less the start of a character whose end has not arrived yet.
    QString text() const;
    // Notes: text written into the box, shown as it is in every view.
    void setText(const QString &text);
    // `replyBytes`: the size of the reply a note is about, for a view that shortens the note.
    void appendText(const QString &text, qint64 replyBytes = -1);
    // Received chunks, decoded as UTF-8 for the text view. A character split between appended
    // chunks shows once, whole, when its last byte arrives.
    void setChunk(ReceivedChunk chunk);
    void appendChunk(ReceivedChunk chunk);
    // Empties the box, as "Clear Data" does.
    void clear() { setText(QString()); }
    // Every received byte the box still holds, in order, without notes or time stamps.
    QByteArray receivedBytes() const;
    // The received chunk shown at the character `fromEnd` characters before the end of the
    // text; nothing where a note is shown.
    std::optional<QByteArray> chunkShownAt(qsizetype fromEnd) const;
    const ReceivedEntries &entries() const;

    const ShowOptions &options() const;
    void setShowHex(bool on);
    void setShowTimeStamps(bool on);

    // In the units the form is drawn in (see LayoutHeights); the layouts set it.
    int designHeight() const { return m_height; }
    void setDesignHeight(int height);

    // What the one view owes since it last looked: everything afresh, or only `text` appended.
    // `waiting` shows the bytes of a character whose end has not arrived yet; it is shown only
    // until the next look, which either completes the character or shows them again.
    struct ViewUpdate {
        bool afresh = false;
        QString text;
        QString waiting;
    };
    ViewUpdate takeViewUpdate();

signals:
    // Each chunk and note as it comes, for a view that passes them on.
    void chunkArrived(const ReceivedChunk &chunk);
    void noteArrived(const QString &note, qint64 replyBytes);
    // Something was added or replaced; the view decides when to look.
    void contentChanged();
    // Afresh: a replacement comes after a pause or from the operator, never in a flood.
    void replaced();
    void optionsChanged();
    void heightChanged();

private:
    void start();
    void render() const;

    struct Private;
    Private *d;
    int m_height = 0;
};

// A chunk just read from `link` (null when it is gone), arriving at `arrival`.
ReceivedChunk chunkFrom(const Link *link, QByteArray data, QDateTime arrival);
