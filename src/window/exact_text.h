#pragma once

#include <QString>
#include <QTextDocument>

#include <vector>

class QTextCursor;

// A text view lays out a whole block at a time, and a line of a few hundred thousand characters
// takes a good part of a second to lay out, so the received-data view keeps a long line that is
// still growing as several blocks, joined into one when its end arrives. Each
// block records how it begins: after the line break that arrived (which one), or continuing the
// line before it. What the view hands on (a copied selection, a find) reads the blocks back as
// exactly the text that arrived; a document without these marks reads as plain lines.

// Appends `text` at the end of `document`, continuing its last block; the last line, while no
// line break ends it, in blocks of at most `longest` characters.
void appendInBlocks(QTextDocument &document, QStringView text, qsizetype longest);
// The LF of a CR LF whose CR ended the last append: the last block begins after CR LF.
void joinCrLf(QTextDocument &document);

// A document's text as it arrived, and the way between its positions and the document's.
class ExactText {
public:
    explicit ExactText(const QTextDocument &document);

    const QString &text() const { return m_text; }
    // The text between the cursor's anchor and position.
    static QString selected(const QTextCursor &cursor);
    qsizetype offsetOf(int position) const;
    int positionOf(qsizetype offset) const;

    // Finds `wanted` as QTextDocument::find does (forward from the end of `from`'s selection,
    // backward from before its start; case as the flags say, other flags ignored), in the text as
    // it arrived; a null cursor when there is no match.
    static QTextCursor find(const QString &wanted, const QTextCursor &from,
                            QTextDocument::FindFlags flags);

private:
    struct Block {
        int position;     // in the document
        qsizetype offset; // in the text
        int length;       // without the block's separator
    };
    // The last block whose `key` is at most `at`.
    template <typename Key> const Block &blockAt(Key Block::*key, qsizetype at) const;

    QString m_text;
    std::vector<Block> m_blocks;
};
