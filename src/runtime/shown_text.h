#pragma once

#include <QByteArrayView>
#include <QString>

// What a message may show of a value it quotes: a peer or a file can hand over megabytes, and a
// status line, a journal entry or a message box has room for a glance.
inline constexpr qsizetype LongestShown = 200;

// `text` whole when it is short; else its first LongestShown characters, "...", and `whole`
// (such as "1048576 bytes") in parentheses.
QString cutText(QStringView text, const QString &whole);
// A quoted value as every message shows it: cut as above, with its size in bytes.
QString shownValue(QStringView value);

// Bytes as text: what is UTF-8 as its characters, every other byte as \xHH, the escape a peer's
// bytes get on a status line.
QString escapedBytes(QByteArrayView bytes);
