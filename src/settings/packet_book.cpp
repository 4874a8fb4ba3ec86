#include "settings/packet_book.h"

#include "respond/answer_template.h"
#include "runtime/leading_number.h"
#include "runtime/shown_text.h"
#include "settings/ini_sections.h"

#include <QDir>
#include <QMap>

using namespace Qt::Literals::StringLiterals;

namespace {

// Why a hex packet's data cannot be sent, or nothing.
QString hexProblem(const PacketEntry &entry) {
    QString error;
    if (entry.hex && !entry.isSequence())
        AnswerTemplate::compile(entry.data, true, &error);
    return error;
}

} // namespace

QString PacketBook::besideSettings(const QString &settingsFile) {
    return besideSettingsFile(settingsFile, u"Sendrel_Packets.ini"_s);
}

bool PacketBook::load(const QString &path, QString *problem) {
    m_path = path;
    QString text;
    m_loaded = readIniText(path, text, problem);
    read(text);
    return m_loaded;
}

void PacketBook::read(const QString &text) {
    m_preamble.clear();
    m_sections.clear();
    m_problems.clear();
    const QStringList lines = QString(text).replace(u"\r\n"_s, u"\n"_s).split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString lineText = i + 1 < lines.size() ? lines[i] + u'\n' : lines[i];
        if (const std::optional<QString> name = iniSectionName(lines[i]))
            m_sections.append({*name, {}, int(i + 1), std::nullopt});
        if (m_sections.isEmpty())
            m_preamble += lineText;
        else
            m_sections.last().raw += lineText;
    }
    for (qsizetype i = 0; i < m_sections.size(); ++i) {
        Section &section = m_sections[i];
        QString error;
        int line = section.line;
        if (!validPacketName(section.name))
            error = u"is no name a packet can have"_s;
        else if (const qsizetype first = indexOf(section.name); first < i)
            error = u"is named like the section on line %1"_s.arg(m_sections[first].line);
        else
            section.entry = parse(section, line, error);
        if (!section.entry)
            m_problems.append(u"%1 line %2: [%3] %4"_s.arg(QDir::toNativeSeparators(m_path))
                                  .arg(line)
                                  .arg(section.name, error));
    }
    // Steps name packets anywhere in the file, so they are checked once all are read.
    for (qsizetype i = 0, told = 0; i < m_sections.size(); ++i) {
        Section &section = m_sections[i];
        if (!section.entry) {
            ++told;
            continue;
        }
        if (const QString error = checkSteps(*section.entry); !error.isEmpty()) {
            m_problems.insert(told++, u"%1 line %2: [%3] %4"_s.arg(QDir::toNativeSeparators(m_path))
                                          .arg(section.line)
                                          .arg(section.name, error));
            section.entry.reset();
        }
    }
}

// One key of a packet's section, at line `i` of it, into what is read so far; why it is bad, if
// it is.
QString PacketBook::readKey(Reading &r, const QString &key, const QString &value, int i) const {
    QString why;
    if (key == u"data"_s) {
        r.entry.data = value;
        r.hasData = true;
        r.dataLine = i;
    } else if (key == u"hex"_s) {
        const std::optional<bool> hex = yesNoValue(value);
        r.entry.hex = hex.value_or(false);
        if (!hex)
            why = u"hex is yes or no, not '%1'"_s.arg(shownValue(value));
    } else if (key == u"to"_s) {
        if (const std::optional<PacketTarget> to = PacketTarget::fromText(value, &why))
            r.entry.to = *to;
    } else if (key == u"tls"_s) {
        const std::optional<bool> tls = yesNoValue(value);
        r.tlsLine = tls.value_or(false) ? i : 0;
        if (!tls)
            why = u"tls is yes or no, not '%1'"_s.arg(shownValue(value));
    } else if (key == u"repeat"_s) {
        const std::optional<qint64> repeat = decimalNumber(value, 1'000'000'000);
        r.entry.repeat = int(repeat.value_or(0));
        r.hasRepeat = true;
        if (!repeat)
            why = u"repeat is a count, 0 for until stopped, not '%1'"_s.arg(shownValue(value));
    } else if (key == u"pin"_s) {
        const std::optional<qint64> pin = decimalNumber(value, 9);
        r.entry.pin = int(pin.value_or(0));
        if (!pin || *pin < 1)
            why = u"pin is a number from 1 to 9, not '%1'"_s.arg(shownValue(value));
    } else if (key.startsWith(u"step"_s)) {
        const std::optional<qint64> number = decimalNumber(QStringView(key).sliced(4), 9999);
        if (!number || *number < 1 || r.steps.contains(int(*number)))
            why = u"'%1' is no step number, or one taken"_s.arg(shownValue(key));
        else if (const std::optional<SequenceStep> step = SequenceStep::fromText(value, &why))
            r.steps.insert(int(*number), *step);
    } else {
        why = u"'%1' is no key of a packet"_s.arg(shownValue(key));
    }
    return why;
}

std::optional<PacketEntry> PacketBook::parse(const Section &section, int &line,
                                             QString &error) const {
    Reading r;
    r.entry.name = section.name;
    const QStringList lines = section.raw.split(u'\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QStringView text = QStringView(lines[i]).trimmed();
        if (text.isEmpty() || text.startsWith(u';'))
            continue;
        const qsizetype equals = text.indexOf(u'=');
        if (equals < 0) {
            line += int(i);
            error = u"'%1' is no key = value"_s.arg(shownValue(text));
            return std::nullopt;
        }
        const QString key = text.first(equals).trimmed().toString().toLower();
        const QStringView rawValue = text.sliced(equals + 1);
        const QString value =
            unquotedIniValue(key == u"data"_s ? rawValue : withoutIniComment(rawValue));
        if (const QString why = readKey(r, key, value, int(i)); !why.isEmpty()) {
            line += int(i);
            error = why;
            return std::nullopt;
        }
    }
    return finished(r, line, error);
}

// What a packet must be as a whole, once each of its keys was good.
std::optional<PacketEntry> PacketBook::finished(Reading &r, int &line, QString &error) const {
    PacketEntry &entry = r.entry;
    entry.steps = r.steps.values();
    entry.to.tls = r.tlsLine > 0;
    if (!entry.tlsFits()) {
        line += r.tlsLine;
        error = u"tls = yes is for a packet sent to tcp HOST:PORT"_s;
        return std::nullopt;
    }
    if (r.hasData == entry.isSequence()) {
        error = r.hasData ? u"has both data and steps"_s : u"has neither data nor steps"_s;
        return std::nullopt;
    }
    if (r.hasRepeat && !entry.isSequence()) {
        error = u"repeat is for sequences"_s;
        return std::nullopt;
    }
    if (const QString hex = hexProblem(entry); !hex.isEmpty()) {
        line += r.dataLine;
        error = u"data is hex pairs and tokens, not '%1' (%2)"_s.arg(
            shownValue(entry.data), hex.first(1).toLower() + hex.sliced(1));
        return std::nullopt;
    }
    return std::move(entry);
}

QString PacketBook::checkSteps(const PacketEntry &entry) const {
    for (const SequenceStep &step : entry.steps) {
        if (step.kind != SequenceStep::Kind::Send)
            continue;
        const PacketEntry *packet = find(step.packet);
        if (!packet || packet->isSequence())
            return u"step '%1' sends no packet of the file"_s.arg(shownValue(step.toText()));
    }
    return {};
}

qsizetype PacketBook::indexOf(const QString &name) const {
    for (qsizetype i = 0; i < m_sections.size(); ++i) {
        if (m_sections[i].name == name)
            return i;
    }
    return -1;
}

QList<PacketEntry> PacketBook::entries() const {
    QList<PacketEntry> all;
    for (const Section &section : m_sections) {
        if (section.entry)
            all.append(*section.entry);
    }
    return all;
}

const PacketEntry *PacketBook::find(const QString &name) const {
    const qsizetype at = indexOf(name);
    return at >= 0 && m_sections[at].entry ? &*m_sections[at].entry : nullptr;
}

QString PacketBook::sectionText(const PacketEntry &entry) {
    QString text = u"["_s + entry.name + u"]\n"_s;
    if (entry.hex)
        text += u"hex = yes\n"_s;
    if (!entry.isSequence())
        text += u"data = "_s + quotedIniValue(entry.data) + u'\n';
    if (entry.to.kind != PacketTarget::Kind::None)
        text += u"to = "_s + entry.to.text() + u'\n';
    if (entry.to.tls)
        text += u"tls = yes\n"_s;
    for (qsizetype i = 0; i < entry.steps.size(); ++i)
        text += u"step%1 = %2\n"_s.arg(i + 1).arg(entry.steps[i].toText());
    if (entry.isSequence() && entry.repeat != 1)
        text += u"repeat = %1\n"_s.arg(entry.repeat);
    if (entry.pin != 0)
        text += u"pin = %1\n"_s.arg(entry.pin);
    return text;
}

bool PacketBook::put(const PacketEntry &entry, const QString &replacing, QString *error) {
    const QString old = replacing.isEmpty() ? entry.name : replacing;
    const qsizetype at = indexOf(old);
    const qsizetype taken = indexOf(entry.name);
    QString why;
    if (!validPacketName(entry.name) || entry.data.contains(u'\n') || entry.data.contains(u'\r'))
        why = u"A name is not empty, has no ']' and no blanks at its ends."_s;
    else if (taken >= 0 && taken != at)
        why = u"A packet named %1 is in the file already."_s.arg(entry.name);
    else if (!entry.tlsFits())
        why = u"TLS is for a packet sent to tcp HOST:PORT."_s;
    else if (const QString hex = hexProblem(entry); !hex.isEmpty())
        why = hex + u'.';
    else
        why = checkSteps(entry);
    if (!why.isEmpty()) {
        if (error)
            *error = why;
        return false;
    }
    Section section{entry.name, sectionText(entry), 0, entry};
    if (at < 0) {
        // A new section stands apart from the one before it.
        QString &before = m_sections.isEmpty() ? m_preamble : m_sections.last().raw;
        if (!before.isEmpty() && !before.endsWith(u"\n\n"_s))
            before += before.endsWith(u'\n') ? u"\n"_s : u"\n\n"_s;
        m_sections.append(section);
    } else {
        // The blank and comment lines that followed it stay.
        const QStringList old = m_sections[at].raw.split(u'\n');
        qsizetype tail = old.size();
        while (tail > 1
               && (old[tail - 1].trimmed().isEmpty() || old[tail - 1].trimmed().startsWith(u';')))
            --tail;
        section.raw += old.mid(tail).join(u'\n');
        section.line = m_sections[at].line;
        m_sections[at] = section;
    }
    return true;
}

bool PacketBook::remove(const QString &name) {
    const qsizetype at = indexOf(name);
    if (at < 0)
        return false;
    m_sections.removeAt(at);
    return true;
}

QString PacketBook::text() const {
    QString text = m_preamble;
    for (const Section &section : m_sections)
        text += section.raw;
    return text;
}

bool PacketBook::save(QString *problem) {
    return writeIniText(m_path, text(), m_loaded, problem);
}
