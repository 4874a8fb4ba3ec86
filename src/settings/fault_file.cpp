#include "settings/fault_file.h"

#include "respond/auto_responder.h"
#include "runtime/leading_number.h"
#include "runtime/shown_text.h"
#include "settings/ini_sections.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QStringList>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {

// One key of a section as read, and its line.
struct Key {
    QString name;
    QString value;
    int line = 0;
};
using Keys = QList<Key>;

const Key *findKey(const Keys &keys, QStringView name) {
    for (const Key &key : keys) {
        if (key.name == name)
            return &key;
    }
    return nullptr;
}

// A fault of `kind` checks over the links that kind works on, and its watch compiles as a
// pair's would.
QString checkOnItsLinks(const Fault &fault) {
    QString problem = checkFault(fault, !faultKindInfo(fault.kind).streams);
    if (problem.startsWith(fault.name + u": "_s))
        problem.remove(0, fault.name.size() + 2);
    if (problem.isEmpty() && !fault.after.watch.isEmpty())
        if (const QString watch = checkRule(fault.after).watchError; !watch.isEmpty())
            problem = u"after: "_s + watch;
    return problem;
}

// One key's value into `fault`; why it cannot be, if it cannot.
QString readKey(Fault &fault, const QString &key, const QString &value, const QString &afterMode) {
    if (key == u"stream") {
        if (value != u"upstream" && value != u"downstream")
            return u"stream is upstream or downstream, not '%1'"_s.arg(shownValue(value));
        fault.up = value == u"upstream";
    } else if (key == u"toxicity") {
        bool ok = false;
        fault.toxicity = value.toDouble(&ok);
        if (!ok || !(fault.toxicity >= 0.0 && fault.toxicity <= 1.0))
            return u"toxicity is a number from 0 to 1, not '%1'"_s.arg(shownValue(value));
    } else if (key == u"enabled") {
        const std::optional<bool> enabled = yesNoValue(value);
        if (!enabled)
            return u"enabled is yes or no, not '%1'"_s.arg(shownValue(value));
        fault.enabled = *enabled;
    } else if (key == u"after") {
        const std::optional<MatchMode> mode = matchModeFromName(afterMode);
        if (!mode)
            return u"after_mode is exact, contains, starts, ends, regex or hex, not '%1'"_s.arg(
                shownValue(afterMode));
        fault.after.mode = *mode;
        fault.after.watch = value;
    } else {
        const FaultKindInfo &info = faultKindInfo(fault.kind);
        for (const FaultAttribute &attribute : info.attributes) {
            if (key != QLatin1StringView(attribute.name))
                continue;
            const std::optional<qint64> number = decimalNumber(value, attribute.most);
            if (!number)
                return u"%1 is a whole number from 0 to %2 %3, not '%4'"_s.arg(
                    key, QString::number(attribute.most), QString::fromUtf8(attribute.unit),
                    shownValue(value));
            fault.setValue(key, *number);
            return {};
        }
        return u"'%1' is no key of a %2 fault"_s.arg(shownValue(key), QLatin1StringView(info.name));
    }
    return {};
}

// The fault a section's keys make, or why they make none, at `line`.
std::optional<Fault> faultOf(const QString &name, const Keys &keys, int &line, QString &problem) {
    Fault fault;
    fault.name = name;
    const Key *type = findKey(keys, u"type");
    if (!type) {
        problem = u"has no type"_s;
        return std::nullopt;
    }
    const std::optional<FaultKind> kind = faultKindFromName(type->value);
    if (!kind) {
        line = type->line;
        problem = u"no fault type '%1'"_s.arg(shownValue(type->value));
        return std::nullopt;
    }
    fault.kind = *kind;
    const Key *mode = findKey(keys, u"after_mode");
    if (mode && !findKey(keys, u"after")) {
        line = mode->line;
        problem = u"after_mode is for a fault with after"_s;
        return std::nullopt;
    }
    for (const Key &key : keys) {
        if (key.name == u"type" || key.name == u"after_mode")
            continue;
        problem = readKey(fault, key.name, key.value, mode ? mode->value : QString());
        if (!problem.isEmpty()) {
            line = key.name == u"after" && mode ? mode->line : key.line;
            return std::nullopt;
        }
    }
    problem = checkOnItsLinks(fault);
    if (!problem.isEmpty())
        return std::nullopt;
    return fault;
}

} // namespace

QString FaultFile::besideSettings(const QString &settingsFile) {
    return besideSettingsFile(settingsFile, u"Sendrel_Faults.ini"_s);
}

bool FaultFile::load(const QString &path, QString *problem) {
    m_path = path;
    m_preamble.clear();
    m_faults.clear();
    QString why;
    QString text;
    const QFileInfo file(path);
    if (file.exists() && file.isFile() && file.size() > MaxBytes)
        why = u"larger than %1 KiB"_s.arg(MaxBytes / 1024);
    else if (!readIniText(path, text, &why))
        why = why.isEmpty() ? u"it cannot be read"_s : why;
    else if (const std::optional<QList<Fault>> faults = read(text, why))
        m_faults = *faults;
    m_loaded = why.isEmpty();
    if (m_loaded) {
        const qsizetype first = text.indexOf(u"\n["_s);
        m_preamble = text.startsWith(u'[') ? QString() : first < 0 ? text : text.left(first + 1);
    } else if (problem) {
        *problem =
            QDir::toNativeSeparators(path) + (why.startsWith(u"line "_s) ? u" "_s : u": "_s) + why;
    }
    return m_loaded;
}

std::optional<QList<Fault>> FaultFile::read(const QString &text, QString &problem) {
    const QStringList lines = QString(text).replace(u"\r\n"_s, u"\n"_s).split(u'\n');
    QList<std::pair<QString, int>> sections; // name and line
    QList<Keys> keys;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int lineNumber = int(i + 1);
        const QStringView line = QStringView(lines[i]).trimmed();
        const QString at = sections.isEmpty()
                               ? u"line %1: "_s.arg(lineNumber)
                               : u"line %1: [%2] "_s.arg(lineNumber).arg(sections.last().first);
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (const std::optional<QString> name = iniSectionName(line)) {
            for (const auto &[taken, takenLine] : std::as_const(sections)) {
                if (taken == *name) {
                    problem = u"line %1: [%2] is named like the fault on line %3"_s.arg(lineNumber)
                                  .arg(*name)
                                  .arg(takenLine);
                    return std::nullopt;
                }
            }
            if (sections.size() == Fault::MaxFaults) {
                problem = u"line %1: more than %2 faults"_s.arg(lineNumber).arg(Fault::MaxFaults);
                return std::nullopt;
            }
            sections.append({*name, lineNumber});
            keys.append(Keys());
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (sections.isEmpty() || equals < 0) {
            problem = at + u"'%1' is no key = value of a fault"_s.arg(shownValue(line));
            return std::nullopt;
        }
        const QString key = line.first(equals).trimmed().toString().toLower();
        const QStringView raw = line.sliced(equals + 1);
        if (findKey(keys.last(), key)) {
            problem = at + u"'%1' given twice"_s.arg(shownValue(key));
            return std::nullopt;
        }
        keys.last().append(
            {key, unquotedIniValue(key == u"after" ? raw : withoutIniComment(raw)), lineNumber});
    }
    QList<Fault> faults;
    for (qsizetype i = 0; i < sections.size(); ++i) {
        int line = sections[i].second;
        QString why;
        const std::optional<Fault> fault = faultOf(sections[i].first, keys[i], line, why);
        if (!fault) {
            problem = u"line %1: [%2] %3"_s.arg(line).arg(sections[i].first, why);
            return std::nullopt;
        }
        faults.append(*fault);
    }
    return faults;
}

QString FaultFile::check(const QList<Fault> &faults) {
    if (faults.size() > Fault::MaxFaults)
        return u"at most %1 faults"_s.arg(Fault::MaxFaults);
    for (qsizetype i = 0; i < faults.size(); ++i) {
        if (const QString problem = checkOnItsLinks(faults[i]); !problem.isEmpty())
            return faults[i].name.isEmpty() ? problem : faults[i].name + u": "_s + problem;
        for (qsizetype j = 0; j < i; ++j) {
            if (faults[j].name == faults[i].name)
                return u"%1: a second fault of that name"_s.arg(faults[i].name);
        }
    }
    return {};
}

QString FaultFile::sectionText(const Fault &fault) {
    const FaultKindInfo &info = faultKindInfo(fault.kind);
    QString text = u"["_s + fault.name + u"]\ntype = "_s + QLatin1StringView(info.name)
                   + u"\nstream = "_s + (fault.up ? u"upstream"_s : u"downstream"_s)
                   + u"\ntoxicity = "_s
                   + QString::number(fault.toxicity, 'g', QLocale::FloatingPointShortest)
                   + u"\nenabled = "_s + (fault.enabled ? u"yes"_s : u"no"_s) + u'\n';
    for (qsizetype i = 0; i < info.attributes.size(); ++i)
        text += u"%1 = %2\n"_s.arg(QLatin1StringView(info.attributes[i].name))
                    .arg(fault.values[size_t(i)]);
    if (!fault.after.watch.isEmpty()) {
        const QString mode = matchModeName(fault.after.mode);
        text += u"after_mode = "_s + (mode.isEmpty() ? u"exact"_s : mode) + u"\nafter = "_s
                + quotedIniValue(fault.after.watch) + u'\n';
    }
    return text;
}

QString FaultFile::text(const QList<Fault> &faults) const {
    QStringList sections;
    for (const Fault &fault : faults)
        sections.append(sectionText(fault));
    QString preamble = m_preamble;
    if (!preamble.isEmpty() && !sections.isEmpty() && !preamble.endsWith(u"\n\n"_s))
        preamble += preamble.endsWith(u'\n') ? u"\n"_s : u"\n\n"_s;
    return preamble + sections.join(u'\n');
}

bool FaultFile::save(const QList<Fault> &faults, QString *problem) {
    if (const QString why = check(faults); !why.isEmpty()) {
        if (problem)
            *problem = why;
        return false;
    }
    if (!m_loaded) {
        if (problem)
            *problem = u"it could not be loaded, and is left as it is"_s;
        return false;
    }
    if (!writeIniText(m_path, text(faults), true, problem))
        return false;
    m_faults = faults;
    return true;
}
