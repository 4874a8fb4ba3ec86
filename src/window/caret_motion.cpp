#include "window/caret_motion.h"

#include "window/shown_lines.h"

#include <QKeyEvent>

#include <algorithm>
#include <array>

namespace {

enum class Motion {
    NextChar,
    PreviousChar,
    NextWord,
    PreviousWord,
    NextLine,
    PreviousLine,
    StartOfLine,
    EndOfLine,
    NextPage,
    PreviousPage,
    StartOfText,
    EndOfText
};

struct MotionKeys {
    QKeySequence::StandardKey move, select;
    Motion motion;
};

constexpr std::array<MotionKeys, 12> Motions{{
    {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, Motion::NextChar},
    {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, Motion::PreviousChar},
    {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, Motion::NextWord},
    {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, Motion::PreviousWord},
    {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, Motion::NextLine},
    {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, Motion::PreviousLine},
    {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, Motion::StartOfLine},
    {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, Motion::EndOfLine},
    {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, Motion::NextPage},
    {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, Motion::PreviousPage},
    {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, Motion::StartOfText},
    {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, Motion::EndOfText},
}};

qsizetype wordEdge(const QString &all, qsizetype from, bool forward) {
    if (forward) {
        while (from < all.size() && inWord(all.at(from)))
            ++from;
        while (from < all.size() && !inWord(all.at(from)))
            ++from;
    } else {
        while (from > 0 && !inWord(all.at(from - 1)))
            --from;
        while (from > 0 && inWord(all.at(from - 1)))
            --from;
    }
    return from;
}

} // namespace

bool inWord(QChar c) {
    return c.isLetterOrNumber() || c == u'_';
}

qsizetype CaretMotion::moved(const ShownLines &lines, qsizetype from, const QKeyEvent &key,
                             int pageRows) {
    const QString &all = lines.text();
    const qsizetype line = lines.lineOf(from);
    const auto vertical = [&](qsizetype rows) {
        if (goalX < 0)
            goalX = lines.xOf(from);
        const qsizetype to = std::clamp<qsizetype>(line + rows, 0, lines.lineCount() - 1);
        return lines.offsetAt(to, goalX);
    };
    for (const MotionKeys &keys : Motions) {
        if (!key.matches(keys.move) && !key.matches(keys.select))
            continue;
        if (keys.motion != Motion::NextLine && keys.motion != Motion::PreviousLine
            && keys.motion != Motion::NextPage && keys.motion != Motion::PreviousPage)
            goalX = -1;
        switch (keys.motion) {
        case Motion::NextChar:
            if (from >= lines.lineEnd(line))
                return line + 1 < lines.lineCount() ? lines.lineStart(line + 1) : from;
            return from + (from + 1 < all.size() && all.at(from + 1).isLowSurrogate() ? 2 : 1);
        case Motion::PreviousChar:
            if (from <= lines.lineStart(line))
                return line > 0 ? lines.lineEnd(line - 1) : from;
            return from - (all.at(from - 1).isLowSurrogate() && from > 1 ? 2 : 1);
        case Motion::NextWord:
            return wordEdge(all, from, true);
        case Motion::PreviousWord:
            return wordEdge(all, from, false);
        case Motion::NextLine:
            return vertical(1);
        case Motion::PreviousLine:
            return vertical(-1);
        case Motion::NextPage:
            return vertical(pageRows);
        case Motion::PreviousPage:
            return vertical(-pageRows);
        case Motion::StartOfLine:
            return lines.lineStart(line);
        case Motion::EndOfLine:
            return lines.lineEnd(line);
        case Motion::StartOfText:
            return 0;
        case Motion::EndOfText:
            return lines.size();
        }
    }
    return -1;
}
