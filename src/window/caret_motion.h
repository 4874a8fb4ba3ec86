#pragma once

#include <QChar>

class QKeyEvent;
class ShownLines;

// Letters, digits and the underscore: what a word is made of for moving and double-clicking.
bool inWord(QChar c);

// Where the platform's keys for moving and selecting put the caret in a LineView: by character
// (a CR LF is one step), word, line (keeping the place across the row), page, to either end of a
// line or of the text.
struct CaretMotion {
    qreal goalX = -1; // kept while moving up and down

    // Where `key` moves a caret at `from`, or -1 for a key that moves nothing; `pageRows` rows
    // make a page.
    qsizetype moved(const ShownLines &lines, qsizetype from, const QKeyEvent &key, int pageRows);
};
