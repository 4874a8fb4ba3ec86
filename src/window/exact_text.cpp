#include "window/exact_text.h"

#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>
#include <iterator>

namespace {

// How a block begins, kept as its user state: the UTF-16 code of the one character that ended the
// line before it (a document also ends a block at CR, a paragraph separator and the two frame
// marks), CR LF, or no break at all. A new block's state, -1, reads as after LF.
constexpr int AfterLf = -1;
constexpr int Continued = 0;
constexpr int AfterCrLf = 0x0D0A;

bool endsBlock(QChar c) {
    return c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator || c == QChar(0xFDD0)
           || c == QChar(0xFDD1);
}

QString breakBefore(const QTextBlock &block) {
    switch (const int state = block.userState()) {
    case AfterLf:
        return QStringLiteral("\n");
    case Continued:
        return {};
    case AfterCrLf:
        return QStringLiteral("\r\n");
    default:
        return QString(QChar(char16_t(state)));
    }
}

// The blocks of the last line, which its end is about to close, become one block.
void joinOpenLine(QTextDocument &document, QTextCursor &cursor) {
    QTextBlock first = document.lastBlock();
    while (first.userState() == Continued && first.previous().isValid())
        first = first.previous();
    if (first == document.lastBlock())
        return;
    const int state = first.userState();
    const int position = first.position();
    std::vector<int> breaks; // where the separators before the later blocks are
    for (QTextBlock block = first.next(); block.isValid(); block = block.next())
        breaks.push_back(block.position() - 1);
    // From the back, so the positions before stay where they are.
    for (auto at = breaks.rbegin(); at != breaks.rend(); ++at) {
        cursor.setPosition(*at);
        cursor.deleteChar();
    }
    // The joined block keeps the last one's state, but begins as the first one did.
    document.findBlock(position).setUserState(state);
}

} // namespace

// A line is laid out again at every append while it grows, so only the line still open is kept
// in blocks of `longest`; once its end arrives its blocks become one, laid out once.
void appendInBlocks(QTextDocument &document, QStringView text, qsizetype longest) {
    if (text.isEmpty())
        return;
    std::vector<int> starts; // of the blocks `text` adds, in order
    QString shown;
    shown.reserve(text.size() + text.size() / longest + 1);
    qsizetype lastBreak = text.size();
    while (lastBreak > 0 && !endsBlock(text.at(lastBreak - 1)))
        --lastBreak;
    qsizetype length = document.lastBlock().length() - 1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (endsBlock(c)) {
            shown += c;
            int start = c == u'\n' ? AfterLf : c.unicode();
            if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n') {
                shown += text.at(++i);
                start = AfterCrLf;
            }
            starts.push_back(start);
            length = 0;
            continue;
        }
        if (i >= lastBreak && length >= longest && !c.isLowSurrogate()) {
            shown += u'\n';
            starts.push_back(Continued);
            length = 0;
        }
        shown += c;
        ++length;
    }
    QTextCursor cursor(&document);
    cursor.beginEditBlock();
    if (lastBreak > 0)
        joinOpenLine(document, cursor);
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shown);
    cursor.endEditBlock();
    QTextBlock block = document.lastBlock();
    for (auto start = starts.rbegin(); start != starts.rend(); ++start, block = block.previous()) {
        if (*start != AfterLf)
            block.setUserState(*start);
    }
}

void joinCrLf(QTextDocument &document) {
    document.lastBlock().setUserState(AfterCrLf);
}

ExactText::ExactText(const QTextDocument &document) {
    m_text.reserve(document.characterCount());
    m_blocks.reserve(document.blockCount());
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        if (block.position() > 0)
            m_text += breakBefore(block);
        const QString text = block.text();
        m_blocks.push_back({block.position(), m_text.size(), int(text.size())});
        m_text += text;
    }
}

template <typename Key>
const ExactText::Block &ExactText::blockAt(Key Block::*key, qsizetype at) const {
    // The first block is at 0 in both.
    const auto after =
        std::upper_bound(m_blocks.begin(), m_blocks.end(), at,
                         [key](qsizetype value, const Block &block) { return value < block.*key; });
    return *std::prev(after);
}

qsizetype ExactText::offsetOf(int position) const {
    const Block &block = blockAt(&Block::position, position);
    return block.offset + std::min(position - block.position, block.length);
}

// An offset inside a line break maps to the end of the block before it.
int ExactText::positionOf(qsizetype offset) const {
    const Block &block = blockAt(&Block::offset, offset);
    return block.position + int(std::min<qsizetype>(offset - block.offset, block.length));
}

QString ExactText::selected(const QTextCursor &cursor) {
    const ExactText exact(*cursor.document());
    const qsizetype from = exact.offsetOf(cursor.selectionStart());
    return exact.m_text.mid(from, exact.offsetOf(cursor.selectionEnd()) - from);
}

QTextCursor ExactText::find(const QString &wanted, const QTextCursor &from,
                            QTextDocument::FindFlags flags) {
    if (wanted.isEmpty())
        return {};
    QTextDocument *document = from.document();
    const ExactText exact(*document);
    const Qt::CaseSensitivity sensitivity = flags.testFlag(QTextDocument::FindCaseSensitively)
                                                ? Qt::CaseSensitive
                                                : Qt::CaseInsensitive;
    qsizetype at = -1;
    if (flags.testFlag(QTextDocument::FindBackward)) {
        const qsizetype before = exact.offsetOf(from.selectionStart());
        if (before > 0)
            at = exact.m_text.lastIndexOf(wanted, before - 1, sensitivity);
    } else {
        at = exact.m_text.indexOf(wanted, exact.offsetOf(from.selectionEnd()), sensitivity);
    }
    if (at < 0)
        return {};
    // A match that ends where the view breaks a long line ends before that break.
    QTextCursor found(document);
    found.setPosition(exact.positionOf(at));
    found.setPosition(exact.positionOf(at + wanted.size() - 1) + 1, QTextCursor::KeepAnchor);
    return found;
}
