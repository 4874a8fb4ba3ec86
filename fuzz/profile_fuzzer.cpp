// Feeds arbitrary bytes to the profile engine as a settings file and checks that reading,
// editing and reading again agree, and that a batch of edits saved once equals the single edits.
#include "settings/ini_value.h"
#include "settings/profile_document.h"
#include "settings/profile_file.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr qsizetype MaxInput = 64 * 1024;
constexpr qsizetype MaxNames = 8;

void require(bool holds, const char *property) {
    if (!holds) {
        std::fprintf(stderr, "property failed: %s\n", property);
        std::abort();
    }
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v';
}

QByteArray trimmedBlanks(QByteArray s) {
    while (!s.isEmpty() && isBlank(s.front()))
        s.remove(0, 1);
    while (!s.isEmpty() && isBlank(s.back()))
        s.chop(1);
    return s;
}

struct Name {
    QByteArray section;
    QByteArray key;
    QByteArray rawValue; // as it stands after '=', blanks and quotes included
};

// Section and key names as a plain reading of the lines finds them.
QList<Name> namesIn(const QByteArray &text) {
    QList<Name> names;
    QByteArray section;
    QByteArray normalised = text;
    normalised.replace('\r', '\n');
    for (const QByteArray &raw : normalised.split('\n')) {
        const QByteArray line = trimmedBlanks(raw);
        if (line.startsWith('[')) {
            const qsizetype close = line.indexOf(']');
            section = trimmedBlanks(line.mid(1, close < 0 ? -1 : close - 1));
        } else if (!line.startsWith(';') && line.contains('=')) {
            const qsizetype equals = line.indexOf('=');
            names.append(
                {section, trimmedBlanks(line.left(equals)), raw.mid(raw.indexOf('=') + 1)});
            if (names.size() == MaxNames)
                break;
        }
    }
    return names;
}

bool hasLineBreak(QByteArrayView s) {
    return s.contains('\r') || s.contains('\n') || s.contains('\0');
}

// Names that a written line gives back when read: no line breaks, no blanks at the ends, and
// nothing that would make the line a header, a comment or split it elsewhere.
bool readableName(const Name &n) {
    const auto clean = [](const QByteArray &s) {
        return !hasLineBreak(s) && trimmedBlanks(s) == s;
    };
    return clean(n.section) && clean(n.key) && !n.section.contains(']') && !n.key.contains('=')
           && !n.key.startsWith(';') && !n.key.startsWith('[');
}

// Text as the program decodes the file: a leading byte order mark is a character like any other.
QString utf8(const QByteArray &bytes) {
    QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decode(bytes);
}

QString scratchFile() {
    static QTemporaryDir *dir = [] {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm")
                                                                       : QDir::tempPath();
        return new QTemporaryDir(base + QStringLiteral("/profile_fuzzer-XXXXXX"));
    }();
    return dir->filePath(QStringLiteral("Sendrel_Settings.ini"));
}

void checkEdits(const QByteArray &text, const QList<Name> &names) {
    for (qsizetype i = 0; i < names.size(); ++i) {
        const Name &n = names[i];
        const std::optional<QByteArray> before = ProfileFile::findValue(text, n.section, n.key);
        if (!readableName(n))
            continue;

        // read, write back, read: the same value
        if (before && !hasLineBreak(*before)) {
            const std::optional<QByteArray> rewritten = ProfileFile::withValue(
                text, n.section, n.key, ProfileFile::quotedWhereNeeded(*before));
            require(rewritten.has_value(), "a readable value can be written back");
            require(ProfileFile::findValue(*rewritten, n.section, n.key) == before,
                    "read-write-read gives the same value");
            for (const Name &other : names) {
                if (&other == &n)
                    continue;
                const bool same = ProfileFile::findValue(text, other.section, other.key)
                                  == ProfileFile::findValue(*rewritten, other.section, other.key);
                require(same
                            || (other.section.compare(n.section, Qt::CaseInsensitive) == 0
                                && other.key.compare(n.key, Qt::CaseInsensitive) == 0),
                        "an edit leaves every other key alone");
            }
        }

        // a new value, blanks and quotes included, reads back exactly
        QByteArray value = names[(i + 1) % names.size()].rawValue;
        value.replace('\0', QByteArray());
        const std::optional<QByteArray> written =
            ProfileFile::withValue(text, n.section, n.key, ProfileFile::quotedWhereNeeded(value));
        require(written.has_value(), "a value without line breaks can be written");
        require(ProfileFile::findValue(*written, n.section, n.key) == value,
                "a written value reads back");
    }
}

bool writeScratch(const QString &path, const QByteArray &text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

QByteArray readScratch(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every name set to the next one's value, one write at a time and then as one batch saved once:
// the same results and the same bytes, through code page changes and refused values alike.
void checkBatch(const QByteArray &text, const QList<Name> &names) {
    const QString path = scratchFile();
    ProfileFile::Document batch;
    if (!writeScratch(path, text) || !batch.load(path))
        return;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const Name &n = names[i];
        const QByteArray &value = names[(i + 1) % names.size()].rawValue;
        require(ProfileFile::writeValue(path, n.section, n.key, value)
                    == batch.setValue(n.section, n.key, value),
                "a write in a batch succeeds as the same write on its own");
    }
    const QByteArray oneByOne = readScratch(path);
    require(writeScratch(path, text) && batch.save(), "a batch is saved");
    require(readScratch(path) == oneByOne, "a batch writes the bytes of its writes one by one");
}

void checkFileRoundTrip(const QByteArray &text, const QList<Name> &names) {
    const QString path = scratchFile();
    if (!writeScratch(path, text))
        return;

    QString section = QStringLiteral("Settings");
    QString key = QStringLiteral("WatchString0");
    QString value = QStringLiteral("  fuzz \"");
    if (!names.isEmpty()) {
        const Name n{utf8(names.front().section).toUtf8(), utf8(names.front().key).toUtf8(), {}};
        if (readableName(n)) {
            section = utf8(n.section);
            key = utf8(n.key);
        }
        value = utf8(names.back().rawValue);
    }
    ReadIniValue(path, section, key);
    require(WriteIniValue(path, section, key, value), "WriteIniValue succeeds on a small file");
    value.remove(QLatin1Char('\r'));
    value.remove(QLatin1Char('\n'));
    value.remove(QChar(u'\0'));
    require(ReadIniValue(path, section, key) == value, "ReadIniValue gives back what was written");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > std::size_t(MaxInput))
        return 0;
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<Name> names = namesIn(text);

    ProfileFile::findValue(text, "Settings", "Port");
    checkEdits(text, names);

    // A key of a section that is not there yet, and one more in the first section seen.
    const std::optional<QByteArray> fresh = ProfileFile::withValue(text, "Fuzz Section", "k", "v");
    require(fresh && ProfileFile::findValue(*fresh, "fuzz section", "K") == "v",
            "a new section reads back");
    require(fresh->endsWith("\r\n"), "a written file ends with a line break");

    checkBatch(text, names);
    checkFileRoundTrip(text, names);
    return 0;
}
