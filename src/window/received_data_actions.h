#pragma once

#include "model/received_entries.h"
#include "window/received_data_box.h"

#include <QObject>
#include <QPointer>

class FindDialog;
class QAction;
class QMenu;

// The received-data box's additions to its context menu, with their keys while the box has
// the focus: the hex and time-stamp views, Find (Ctrl+F; F3 and Shift+F3 find again), saving
// (Ctrl+S), clearing, and the statistics window.
class ReceivedDataActions final : public QObject {
    Q_OBJECT

public:
    explicit ReceivedDataActions(ReceivedDataBox *box);

    void addTo(QMenu *menu) const;
    // Keeps the check marks in step with the box.
    void showOptions(const ShowOptions &options);
    void setSaveDialog(ReceivedDataBox::SaveDialog dialog);

private:
    QAction *addAction(const QString &text, const QKeySequence &keys = {});
    void find();
    void findAgain(bool backward);
    void save();

    ReceivedDataBox *m_box;
    ReceivedDataBox::SaveDialog m_saveDialog;
    QPointer<FindDialog> m_findDialog;
    QAction *m_hex;
    QAction *m_timeStamps;
    QAction *m_find;
    QAction *m_save;
    QAction *m_clear;
    QAction *m_statistics;
};
