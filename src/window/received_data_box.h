#pragma once

#include "window/line_view.h"

#include <functional>

class ReceivedData;
class ReceivedDataActions;

// The received-data box: shows the form's received data, each line as one row however long it
// grows. While data keeps coming the view catches up a few times a second, appending only what
// is new. Its context menu adds the hex and time-stamp views, a find dialog, saving and clearing
// to Copy and Select All.
class ReceivedDataBox final : public LineView {
    Q_OBJECT

public:
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
    void paintEvent(QPaintEvent *event) override;

private:
    void showOptions();
    void showFont();
    enum class Urgency { Steady, Soon };
    void scheduleRefresh(Urgency urgency = Urgency::Steady);
    void refreshView();
    void paceRefreshes();

    ReceivedData &m_data;
    ReceivedDataActions *m_actions = nullptr;

    struct Private;
    Private *d;
};
