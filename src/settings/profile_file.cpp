#include "settings/profile_file.h"

#include "settings/profile_document.h"

namespace ProfileFile {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v';
}

QByteArrayView trimmed(QByteArrayView s, bool (*strip)(char)) {
    while (!s.isEmpty() && strip(s.front()))
        s = s.sliced(1);
    while (!s.isEmpty() && strip(s.back()))
        s.chop(1);
    return s;
}

QByteArrayView trimmedBlanks(QByteArrayView s) {
    return trimmed(s, isBlank);
}

// The caller's section and key names lose spaces only: a tab at either end never matches.
QByteArrayView trimmedSpaces(QByteArrayView s) {
    return trimmed(s, [](char c) { return c == ' '; });
}

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// ASCII folding only: folding Latin-1 would make distinct UTF-8 sequences equal.
bool sameName(QByteArrayView a, QByteArrayView b) {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

bool canBreakLines(QByteArrayView s) {
    return s.contains('\r') || s.contains('\n') || s.contains('\0');
}

struct Line {
    qsizetype begin = 0; // first byte
    qsizetype end = 0;   // one past the last byte before the line break
    qsizetype next = 0;  // first byte of the following line
};

enum class Kind { Blank, Header, Comment, Key, Other };

struct Parsed {
    Kind kind = Kind::Blank;
    QByteArrayView name;  // section name or key
    QByteArrayView value; // trimmed, quotes kept
};

class LineReader {
public:
    explicit LineReader(const QByteArray &text) : m_text(text) {}

    bool next(Line &line) {
        if (m_pos >= m_text.size())
            return false;
        line.begin = m_pos;
        qsizetype i = m_pos;
        while (i < m_text.size() && m_text[i] != '\r' && m_text[i] != '\n')
            ++i;
        line.end = i;
        if (i < m_text.size())
            i += (m_text[i] == '\r' && i + 1 < m_text.size() && m_text[i + 1] == '\n') ? 2 : 1;
        line.next = m_pos = i;
        return true;
    }

private:
    const QByteArray &m_text;
    qsizetype m_pos = 0;
};

Parsed classify(QByteArrayView raw) {
    const QByteArrayView line = trimmedBlanks(raw);
    if (line.isEmpty())
        return {};
    if (line.front() == '[') {
        // The name ends at the first ']'; a header without one runs to the end of the line.
        QByteArrayView name = line.sliced(1);
        const qsizetype close = name.indexOf(']');
        if (close >= 0)
            name.truncate(close);
        return {Kind::Header, trimmedBlanks(name), {}};
    }
    if (line.front() == ';')
        return {Kind::Comment, {}, {}};
    const qsizetype equals = line.indexOf('=');
    if (equals < 0)
        return {Kind::Other, {}, {}};
    return {Kind::Key, trimmedBlanks(line.first(equals)), trimmedBlanks(line.sliced(equals + 1))};
}

// Where a section and a key lie; only the first section of that name is ever looked at.
struct Place {
    bool hasSection = false;
    Line header;
    bool hasKey = false;
    Line keyLine;
    QByteArrayView keyName;
    QByteArrayView value;
    bool hasLastKey = false;
    Line lastKeyLine;
};

Place locate(const QByteArray &text, QByteArrayView section, QByteArrayView key) {
    Place place;
    LineReader reader(text);
    Line line;
    while (reader.next(line)) {
        const Parsed parsed =
            classify(QByteArrayView(text).sliced(line.begin, line.end - line.begin));
        if (parsed.kind == Kind::Header) {
            if (place.hasSection)
                break;
            if (sameName(parsed.name, section)) {
                place.hasSection = true;
                place.header = line;
            }
        } else if (parsed.kind == Kind::Key && place.hasSection) {
            if (!place.hasKey && sameName(parsed.name, key)) {
                place.hasKey = true;
                place.keyLine = line;
                place.keyName = parsed.name;
                place.value = parsed.value;
            }
            place.hasLastKey = true;
            place.lastKeyLine = line;
        }
    }
    return place;
}

bool endsWithLineBreak(const QByteArray &text) {
    return text.endsWith('\r') || text.endsWith('\n');
}

} // namespace

std::optional<QByteArray> findValue(const QByteArray &text, QByteArrayView section,
                                    QByteArrayView key) {
    const Place place = locate(text, trimmedSpaces(section), trimmedSpaces(key));
    if (!place.hasKey)
        return std::nullopt;
    QByteArrayView value = place.value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')
        && value.back() == value.front())
        value = value.sliced(1, value.size() - 2);
    return value.toByteArray();
}

std::optional<QByteArray> withValue(const QByteArray &text, QByteArrayView section,
                                    QByteArrayView key, QByteArrayView value) {
    if (canBreakLines(section) || canBreakLines(key) || canBreakLines(value))
        return std::nullopt;
    section = trimmedSpaces(section);
    key = trimmedSpaces(key);
    const Place place = locate(text, section, key);

    QByteArray result;
    result.reserve(text.size() + section.size() + key.size() + value.size() + 8);
    if (place.hasKey) {
        // The file's own spelling of the key stays.
        const Line &line = place.keyLine;
        result.append(QByteArrayView(text).first(line.begin));
        result.append(place.keyName).append('=').append(value);
        result.append(QByteArrayView(text).sliced(line.end));
    } else if (place.hasSection) {
        const Line &anchor = place.hasLastKey ? place.lastKeyLine : place.header;
        result.append(QByteArrayView(text).first(anchor.next));
        if (anchor.next == anchor.end)
            result.append("\r\n"); // the anchor was the last line and had no line break
        result.append(key).append('=').append(value).append("\r\n");
        result.append(QByteArrayView(text).sliced(anchor.next));
    } else {
        result.append(text);
        if (!result.isEmpty() && !endsWithLineBreak(result))
            result.append("\r\n");
        result.append('[').append(section).append("]\r\n");
        result.append(key).append('=').append(value).append("\r\n");
    }
    if (!result.isEmpty() && !endsWithLineBreak(result))
        result.append("\r\n");
    return result;
}

QByteArray quotedWhereNeeded(QByteArrayView value) {
    if (value.isEmpty())
        return {};
    const bool blankAtEnd = isBlank(value.front()) || isBlank(value.back());
    const bool quotePair = value.size() >= 2 && (value.front() == '"' || value.front() == '\'')
                           && value.back() == value.front();
    if (!blankAtEnd && !quotePair)
        return value.toByteArray();
    QByteArray quoted;
    quoted.reserve(value.size() + 2);
    return quoted.append('"').append(value).append('"');
}

std::optional<QByteArray> readValue(const QString &path, QByteArrayView section, QByteArrayView key,
                                    QString *problem) {
    Document document;
    if (!document.load(path, problem))
        return std::nullopt;
    return document.value(section, key);
}

bool writeValue(const QString &path, QByteArrayView section, QByteArrayView key,
                QByteArrayView value, QString *problem) {
    Document document;
    return document.load(path, problem) && document.setValue(section, key, value, problem)
           && document.save(problem);
}

} // namespace ProfileFile
