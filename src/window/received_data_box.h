#pragma once

#include <QPlainTextEdit>

#include <functional>

class ReceivedData;
class ReceivedDataActions;

// The received-data box: shows the form's received data. While data keeps coming the view
// catches up a few times a second, appending only what is new; the last line, while it grows
// past LongestShownLine, shows in pieces, which Copy and Find join again (exact_text.h). Its
// context menu adds the hex and time-stamp views, a find dialog, saving and clearing to Qt's own
// entries.
class ReceivedDataBox final : public QPlainTextEdit {
    Q_OBJECT

public:
    // Laying out a line costs time in proportion to its length, and the view lays out its last
    // line again at every append: a line that grows past this length is kept in blocks of it
    // until its end arrives, and then shown, and read to a screen reader, as one line.
    static constexpr qsizetype LongestShownLine = 16 * 1024;

    ReceivedDataBox(ReceivedData &data, QWidget *parent = nullptr);
    ~ReceivedDataBox() override;

    ReceivedData &data() { return m_data; }

    // Asks where to save and how: the received bytes as they are, or the text as shown. An
    // empty file name means the operator cancelled.
    struct SaveChoice {
        QString fileName;
        bool rawBytes = true;
        bool pcapng = false; // the chunks as a capture, whatever rawBytes says
    };
    using SaveDialog = std::function<SaveChoice(QWidget *owner)>;
    void setSaveDialog(SaveDialog dialog);

    // The text size in percent of the box's own font, in the text and the hex view alike.
    void setZoom(int percent);

signals:
    // "Statistics..." in the context menu; the window that owns the counters opens them.
    void statisticsRequested();
    // "Save Chunk as Packet..." on a received chunk: its bytes.
    void chunkPacketRequested(const QByteArray &bytes);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    QMimeData *createMimeDataFromSelection() const override;
    void paintEvent(QPaintEvent *event) override;

private:
    void showOptions();
    void showFont();
    enum class Urgency { Steady, Soon };
    void scheduleRefresh(Urgency urgency = Urgency::Steady);
    void refreshView();
    void paceRefreshes();
    void showAfresh(const QString &text);
    void showWaiting(const QString &marks);
    void dropWaiting();

    ReceivedData &m_data;
    ReceivedDataActions *m_actions = nullptr;

    struct Private;
    Private *d;
};
