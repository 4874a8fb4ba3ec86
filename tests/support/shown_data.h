#pragma once

// What the tests of the received-data box share: the box on its data and its menu entries.

#include "model/received_data.h"
#include "window/received_data_box.h"

#include <QAction>
#include <QString>
#include <QWidget>

inline constexpr qsizetype Kept = ReceivedData::MinimumKept;

// The received data with the box that shows it.
struct ShownData : ReceivedData {
    ReceivedDataBox view{*this};
    // What the view shows and hands on.
    QString shown() const { return view.text(); }
    // The rows on screen, one line each.
    QString rows() const {
        QStringList rows;
        for (qsizetype i = 0; i < view.lines().lineCount(); ++i)
            rows << view.text().sliced(view.lines().lineStart(i),
                                       view.lines().lineEnd(i) - view.lines().lineStart(i));
        return rows.join(u'\n');
    }
    // Chunks from a peer nobody named.
    void setUtf8(const QByteArray &bytes) { setChunk({bytes, {}, {}, 0}); }
    void appendUtf8(const QByteArray &bytes) { appendChunk({bytes, {}, {}, 0}); }
};

inline QAction *menuEntry(const QWidget &box, const QString &text) {
    for (QAction *action : box.actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

// "0;1;2;..." from `from`, `count` numbers.
inline QString numbered(int from, int count) {
    QString text;
    for (int i = from; i < from + count; ++i)
        text += QString::number(i) + u';';
    return text;
}
