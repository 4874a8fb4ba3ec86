#pragma once

#include "form/received_entries.h"

#include <QPlainTextEdit>

#include <functional>

class SocketControl;

// The received-data box. It holds what arrived as entries (received chunks with their arrival
// and peer, and the notes written between them) and shows them as text or, when asked, each
// chunk as a hex dump of its bytes, with or without a time-stamp line before each chunk.
// It keeps only the newest (at least MinimumKept characters of what it shows), so a flood
// cannot exhaust memory, and adding costs time in proportion to the chunk, not to the box.
// text() answers at once; the view catches up on its own, a few times a second, and shows very
// long lines broken into pieces (text() keeps them whole). Its context menu adds the hex and
// time-stamp views, a find dialog, saving and clearing to Qt's own entries.
class ReceivedDataBox final : public QPlainTextEdit {
    Q_OBJECT

public:
    static constexpr qsizetype MinimumKept = 256 * 1024;

    explicit ReceivedDataBox(QWidget *parent = nullptr);
    ~ReceivedDataBox() override;

    // What the box shows, less the start of a character whose end has not arrived yet.
    QString text() const;
    // Notes: text written into the box, shown as it is in every view.
    void setText(const QString &text);
    void appendText(const QString &text);
    // Received chunks, decoded as UTF-8 for the text view; only what can still be seen is ever
    // decoded. A character split between appended chunks shows once, whole, when its last byte
    // arrives.
    void setChunk(ReceivedChunk chunk);
    void appendChunk(ReceivedChunk chunk);
    // Chunks that arrive now from a peer nobody named.
    void setUtf8(const QByteArray &bytes);
    void appendUtf8(const QByteArray &bytes);
    // Empties the box, as "Clear Data" does.
    void clear();
    // Every received byte the box still holds, in order, without notes or time stamps.
    QByteArray receivedBytes() const;

    bool showHex() const;
    void setShowHex(bool on);
    bool showTimeStamps() const;
    void setShowTimeStamps(bool on);

    // Asks where to save and how: the received bytes as they are, or the text as shown. An
    // empty file name means the operator cancelled.
    struct SaveChoice {
        QString fileName;
        bool rawBytes = true;
    };
    using SaveDialog = std::function<SaveChoice(QWidget *owner)>;
    void setSaveDialog(SaveDialog dialog);

signals:
    void showHexToggled(bool on);
    void showTimeStampsToggled(bool on);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void start();
    void setOptions(const ShowOptions &options);
    enum class Urgency { Steady, Soon };
    void scheduleRefresh(Urgency urgency = Urgency::Steady);
    void refreshView();
    void showAfresh(const QString &shown);

    struct Private;
    Private *d;
};

// A chunk just read from `socket` (null when it is gone), arriving at `arrival`.
ReceivedChunk chunkFrom(const SocketControl *socket, QByteArray data, QDateTime arrival);
