#include "window/shown_lines.h"

#include "model/received_entries.h"

#include <algorithm>
#include <cmath>

namespace {

// Distinct characters outside the BMP whose advances are kept; a peer can send many.
constexpr qsizetype MostWideAdvances = 4096;

bool drawnAlone(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

} // namespace

ShownLines::ShownLines() : m_metrics(m_font) {
    setFont(m_font);
}

void ShownLines::setFont(const QFont &font) {
    m_font = font;
    // Each character stands where the sum of the advances before it puts it.
    m_font.setKerning(false);
    m_metrics = QFontMetricsF(m_font);
    m_advances.assign(0x10000, -1.0f);
    m_wideAdvances.clear();
    const QString all = m_text;
    clear();
    append(all);
}

void ShownLines::clear() {
    m_text.clear();
    m_lines.clear();
    m_stops.clear();
    m_widest = 0;
    startLine(0);
}

void ShownLines::startLine(qsizetype start) {
    m_lines.push_back({start, start, m_stops.size(), 0});
    m_stops.push_back(0);
}

// The last line always ends where the text does. Called for every character that arrives, so
// the common case (no line break, tab or surrogate) takes one look-up.
void ShownLines::append(QStringView more) {
    const qsizetype from = m_text.size();
    m_text += more;
    const QChar *chars = m_text.constData();
    qsizetype start = m_lines.back().start;
    qreal x = m_lines.back().width;
    for (qsizetype i = from; i < m_text.size(); ++i) {
        const char16_t c = chars[i].unicode();
        if ((c <= u'\r' || c >= 0x2028) && endsShownLine(QChar(c))) {
            Line &line = m_lines.back();
            if (c == u'\n' && i > 0 && chars[i - 1] == u'\r' && start == i) {
                start = line.start = line.end = i + 1; // CR LF is one line break
                continue;
            }
            line.end = i;
            line.width = x;
            m_widest = std::max(m_widest, x);
            startLine(start = i + 1);
            x = 0;
            continue;
        }
        const qsizetype column = i - start;
        if (column > 0 && column % Stride == 0)
            m_stops.push_back(x);
        if (float &known = m_advances[c]; known >= 0 && c != u'\t' && !QChar::isSurrogate(c))
            x += known;
        else
            x += advance(i, x);
    }
    m_lines.back().end = m_text.size();
    m_lines.back().width = x;
    m_widest = std::max(m_widest, x);
}

void ShownLines::chop(qsizetype count) {
    const qsizetype size = std::max<qsizetype>(0, m_text.size() - count);
    m_text.truncate(size);
    while (m_lines.size() > 1 && m_lines.back().start > size) {
        m_stops.resize(m_lines.back().firstStop);
        m_lines.pop_back();
    }
    Line &line = m_lines.back();
    if (line.end > size) {
        const qsizetype length = size - line.start;
        const qsizetype stops = length == 0 ? 1 : (length - 1) / Stride + 1;
        m_stops.resize(line.firstStop + size_t(stops));
        qreal x = m_stops.back();
        for (qsizetype i = line.start + (stops - 1) * Stride; i < size; ++i)
            x += advance(i, x);
        line.end = size;
        line.width = x;
    }
    // A line break that is last again begins an empty line.
    if (size > m_lines.back().end && m_lines.back().start < size)
        startLine(size);
}

qsizetype ShownLines::lineOf(qsizetype offset) const {
    const auto after = std::upper_bound(m_lines.begin(), m_lines.end(), offset,
                                        [](qsizetype at, const Line &l) { return at < l.start; });
    return std::max<qsizetype>(0, after - m_lines.begin() - 1);
}

qreal ShownLines::advance(qsizetype offset, qreal x) const {
    const QChar c = m_text.at(offset);
    if (c == u'\t')
        return (std::floor(x / TabStop) + 1) * TabStop - x;
    if (c.isHighSurrogate() && offset + 1 < m_text.size()
        && m_text.at(offset + 1).isLowSurrogate()) {
        const char32_t code = QChar::surrogateToUcs4(c, m_text.at(offset + 1));
        auto known = m_wideAdvances.constFind(code);
        if (known == m_wideAdvances.constEnd()) {
            if (m_wideAdvances.size() >= MostWideAdvances)
                m_wideAdvances.clear();
            known = m_wideAdvances.insert(code, m_metrics.horizontalAdvance(m_text.mid(offset, 2)));
        }
        return *known;
    }
    if (c.isLowSurrogate() && offset > 0 && m_text.at(offset - 1).isHighSurrogate())
        return 0;
    float &known = m_advances[c.unicode()];
    if (known < 0)
        known = float(m_metrics.horizontalAdvance(c));
    return known;
}

std::pair<qsizetype, qreal> ShownLines::stopBefore(const Line &line, qsizetype offset) const {
    const size_t next = &line == &m_lines.back() ? m_stops.size() : (&line + 1)->firstStop;
    const size_t k = std::min(size_t((offset - line.start) / Stride), next - line.firstStop - 1);
    return {line.start + qsizetype(k) * Stride, m_stops[line.firstStop + k]};
}

std::pair<qsizetype, qreal> ShownLines::stopBeforeX(const Line &line, qreal x) const {
    const auto first = m_stops.begin() + qsizetype(line.firstStop);
    const auto last = &line == &m_lines.back()
                          ? m_stops.end()
                          : m_stops.begin() + qsizetype((&line + 1)->firstStop);
    const qsizetype k = std::max<qsizetype>(0, std::upper_bound(first, last, x) - first - 1);
    return {line.start + k * Stride, *(first + k)};
}

qreal ShownLines::xOf(qsizetype offset) const {
    const Line &line = m_lines[size_t(lineOf(offset))];
    offset = std::min(offset, line.end);
    auto [at, x] = stopBefore(line, offset);
    for (; at < offset; ++at)
        x += advance(at, x);
    return x;
}

qsizetype ShownLines::offsetAt(qsizetype lineNumber, qreal x) const {
    const Line &line = m_lines[size_t(lineNumber)];
    auto [at, left] = stopBeforeX(line, x);
    for (; at < line.end; ++at) {
        const qreal width = advance(at, left);
        if (x < left + width / 2)
            break;
        left += width;
    }
    return at;
}

std::vector<ShownLines::Run> ShownLines::runs(qsizetype lineNumber, qreal left, qreal right) const {
    const Line &line = m_lines[size_t(lineNumber)];
    auto [at, x] = stopBeforeX(line, left);
    for (qreal width = 0; at < line.end && x + (width = advance(at, x)) <= left; ++at)
        x += width;
    std::vector<Run> runs;
    for (; at < line.end && (x < right || m_text.at(at).isLowSurrogate()); ++at) {
        const bool alone = drawnAlone(m_text.at(at));
        if (!alone && (runs.empty() || runs.back().to != at))
            runs.push_back({at, at, x});
        if (!alone)
            runs.back().to = at + 1;
        x += advance(at, x);
    }
    return runs;
}
