#include "settings/profile_file.h"

#include "runtime/write_failure.h"
#include "settings/windows1252.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

enum class Load { Read, Missing, Refused };

QString tooLargeProblem() {
    return QStringLiteral("it is larger than %1 KiB").arg(MaxBytes / 1024);
}

// Reads at most MaxBytes of a regular file. A FIFO, a device or a directory is refused before
// any byte is read, so a settings path pointing at one can neither block nor fill memory.
// `problem` says why a file that exists was refused.
Load loadFile(const QString &path, QByteArray &bytes, QString &problem) {
    bytes.clear();
    problem.clear();
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return Load::Missing;
        problem = qt_error_string(errno);
        return Load::Refused;
    }
    struct stat info {};
    Load result = Load::Refused;
    if (::fstat(fd, &info) != 0) {
        problem = qt_error_string(errno);
    } else if (!S_ISREG(info.st_mode)) {
        problem = QStringLiteral("it is not a regular file");
    } else {
        // Sized from the file, but growing as needed: a file may grow or report no size.
        bytes.resize(qMin(qsizetype(info.st_size), MaxBytes) + 1);
        qsizetype total = 0;
        for (;;) {
            if (total == bytes.size()) {
                if (total > MaxBytes) {
                    problem = tooLargeProblem();
                    break;
                }
                bytes.resize(qMin(total * 2, MaxBytes + 1));
            }
            const ssize_t got = ::read(fd, bytes.data() + total, size_t(bytes.size() - total));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                if (got == 0)
                    result = Load::Read;
                else
                    problem = qt_error_string(errno);
                break;
            }
            total += got;
        }
        bytes.truncate(total);
    }
    ::close(fd);
    if (result != Load::Read)
        bytes.clear();
    return result;
#else
    const QFileInfo info(path);
    if (!info.exists())
        return Load::Missing;
    QFile file(path);
    if (!info.isFile()) {
        problem = QStringLiteral("it is not a regular file");
        return Load::Refused;
    }
    if (info.size() > MaxBytes) {
        problem = tooLargeProblem();
        return Load::Refused;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
        return Load::Refused;
    }
    bytes = file.read(MaxBytes + 1);
    if (bytes.size() > MaxBytes || file.error() != QFileDevice::NoError) {
        problem = bytes.size() > MaxBytes ? tooLargeProblem() : file.errorString();
        bytes.clear();
        return Load::Refused;
    }
    return Load::Read;
#endif
}

void setProblem(QString *to, const QString &problem) {
    if (to)
        *to = problem;
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
    QByteArray text;
    QString why;
    const Load load = loadFile(path, text, why);
    setProblem(problem, why);
    if (load != Load::Read)
        return std::nullopt;
    std::optional<QByteArray> value = findValue(text, section, key);
    if (value && !Windows1252::isUtf8(text))
        value = Windows1252::toUtf8(*value);
    return value;
}

bool writeValue(const QString &path, QByteArrayView section, QByteArrayView key,
                QByteArrayView value, QString *problem) {
    QByteArray old;
    QString why;
    const Load load = loadFile(path, old, why);
    setProblem(problem, why);
    if (load == Load::Refused)
        return false;
    std::optional<QByteArray> updated = withValue(old, section, key, value);
    if (updated && !Windows1252::isUtf8(old)) {
        // The old code page keeps the file's bytes; where it cannot hold the value, or the
        // result would read as UTF-8, the whole file turns into UTF-8 with its text intact.
        const std::optional<QByteArray> legacy = Windows1252::fromUtf8(value);
        if (legacy)
            updated = withValue(old, section, key, *legacy);
        if (!legacy || Windows1252::isUtf8(*updated))
            updated = withValue(Windows1252::toUtf8(old), section, key, value);
    }
    if (!updated) {
        setProblem(problem, QStringLiteral("a name or value holds a line break"));
        return false;
    }
    if (updated->size() > MaxBytes) { // a file too large to read back is never written
        setProblem(problem, QStringLiteral("it would grow beyond %1 KiB").arg(MaxBytes / 1024));
        return false;
    }
    if (load == Load::Read && *updated == old)
        return true;

    QSaveFile file(path);
    // Unbuffered: a buffered short write on a full disk is not reported and gets committed.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        setProblem(problem, file.errorString());
        return false;
    }
    if (file.write(*updated) != updated->size()) {
        setProblem(problem, writeFailureReason(file));
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        setProblem(problem, file.errorString());
        return false;
    }
    return true;
}

} // namespace ProfileFile
