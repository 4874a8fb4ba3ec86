#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QHash>
#include <QString>

#include <vector>

// A text as it arrived, split into the lines it shows (a line ends at LF, CR, CR LF or another
// character that ends a shown line), with where each character stands across its row. Appending
// costs time in proportion to what is appended, however long the open line is: each line keeps
// the place of every Stride-th character, so finding a place walks at most Stride characters.
// Places are the sums of the characters' advances in the font, without kerning or shaping.
class ShownLines {
public:
    static constexpr qsizetype Stride = 128;
    static constexpr qreal TabStop = 80;

    // A stretch of one line drawn as one: no tab or other control character inside.
    struct Run {
        qsizetype from, to;
        qreal x;
    };

    ShownLines();

    const QString &text() const { return m_text; }
    qsizetype size() const { return m_text.size(); }
    // Every place again, in `font`.
    void setFont(const QFont &font);
    const QFont &font() const { return m_font; }

    void clear();
    void append(QStringView more);
    // Takes the last `count` characters away.
    void chop(qsizetype count);

    qsizetype lineCount() const { return qsizetype(m_lines.size()); }
    qsizetype lineStart(qsizetype line) const { return m_lines[size_t(line)].start; }
    // Where the line's text ends, before its line break.
    qsizetype lineEnd(qsizetype line) const { return m_lines[size_t(line)].end; }
    qreal lineWidth(qsizetype line) const { return m_lines[size_t(line)].width; }
    // The line that holds `offset`; inside a line break, the line it ends.
    qsizetype lineOf(qsizetype offset) const;
    qreal widest() const { return m_widest; }

    // How far across its line the character at `offset` begins.
    qreal xOf(qsizetype offset) const;
    // The place in `line` nearest to `x`.
    qsizetype offsetAt(qsizetype line, qreal x) const;
    // What of `line` shows between `left` and `right`.
    std::vector<Run> runs(qsizetype line, qreal left, qreal right) const;

private:
    struct Line {
        qsizetype start, end;
        size_t firstStop; // in m_stops: the place of the line's first character
        qreal width;
    };
    // The advance of the character at `offset`, beginning at `x`.
    qreal advance(qsizetype offset, qreal x) const;
    void startLine(qsizetype start);
    // The character before `offset` is the nearest stop at or before it.
    std::pair<qsizetype, qreal> stopBefore(const Line &line, qsizetype offset) const;
    std::pair<qsizetype, qreal> stopBeforeX(const Line &line, qreal x) const;

    QString m_text;
    std::vector<Line> m_lines;
    std::vector<qreal> m_stops;
    qreal m_widest = 0;
    QFont m_font;
    QFontMetricsF m_metrics;
    mutable std::vector<float> m_advances; // of each BMP character, negative until measured
    mutable QHash<char32_t, qreal> m_wideAdvances;
};
