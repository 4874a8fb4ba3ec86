#include "respond/rule_text.h"

#include "respond/auto_responder.h"
#include "runtime/shown_text.h"

#include <QFile>
#include <QStringDecoder>

namespace {

// The rule as the named mode builds it from its two sides.
ResponseRule ruleOf(MatchMode mode, const QString &watch, const QString &response) {
    ResponseRule rule;
    rule.mode = mode;
    rule.watch = watch;
    rule.response = response;
    if (mode == MatchMode::Hex) {
        rule.responseHex = true;
        rule.lineEnd = false;
    }
    return rule;
}

// The check's reason, naming the response side when the response is at fault.
QString checkError(const ResponseRule &rule) {
    const RuleCheck check = checkRule(rule);
    if (!check.watchError.isEmpty())
        return check.watchError;
    if (!check.responseError.isEmpty())
        return QStringLiteral("response: ") + check.responseError;
    return {};
}

QString ruleLineError(const QString &line, ResponseRule &rule) {
    const QStringList fields = line.split(u'\t');
    if (fields.size() < 3 || fields.size() > 4)
        return QStringLiteral("needs MODE<TAB>WATCH<TAB>RESPONSE[<TAB>DELAY], found %1 field(s)")
            .arg(fields.size());
    const std::optional<MatchMode> mode = matchModeFromName(fields[0]);
    if (!mode || fields[0].isEmpty())
        return QStringLiteral("unknown mode '%1' (exact, contains, starts, ends, regex or hex)")
            .arg(shownValue(fields[0]));
    if (fields[1].isEmpty())
        return QStringLiteral("empty watch string");
    rule = ruleOf(*mode, fields[1], fields[2]);
    if (fields.size() == 4) {
        const std::optional<int> delay = delayFromText(fields[3]);
        if (!delay)
            return QStringLiteral("delay must be 0 to %1 ms, not '%2'")
                .arg(ResponseRule::MaxDelayMs)
                .arg(shownValue(fields[3]));
        rule.delayMs = *delay;
    }
    return checkError(rule);
}

// `where` comes before the line number in an error: "line " or "FILE:".
RulesFromText rulesFrom(QByteArrayView text, const QString &where) {
    RulesFromText result;
    if (text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3);
    int number = 0;
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype end = text.indexOf('\n', at);
        if (end < 0)
            end = text.size();
        QByteArrayView line = text.sliced(at, end - at);
        at = end + 1;
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith('#') || line.trimmed().isEmpty())
            continue;
        const auto failed = [&](const QString &error) {
            return RulesFromText{{},
                                 where + QString::number(number) + QStringLiteral(": ") + error};
        };
        // Decoded as it stands, a bad byte would become U+FFFD and match something else.
        QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
        const QString decoded = decode(line);
        if (decode.hasError())
            return failed(QStringLiteral("not valid UTF-8"));
        if (result.rules.size() == MaxFileRules)
            return failed(QStringLiteral("more than %1 rules").arg(MaxFileRules));
        ResponseRule rule;
        if (const QString error = ruleLineError(decoded, rule); !error.isEmpty())
            return failed(error);
        result.rules.append(rule);
    }
    return result;
}

} // namespace

QString respondOption(MatchMode mode) {
    return mode == MatchMode::Exact ? QStringLiteral("respond")
                                    : QStringLiteral("respond-") + matchModeName(mode);
}

RuleFromText ruleFromOption(MatchMode mode, const QString &value) {
    const QString option = QStringLiteral("--") + respondOption(mode);
    const qsizetype equals = value.indexOf(u'=');
    if (equals <= 0)
        return {{},
                QStringLiteral("%1 needs WATCH=RESPONSE, not '%2'").arg(option, shownValue(value))};
    RuleFromText result{ruleOf(mode, value.left(equals), value.mid(equals + 1)), {}};
    // A pattern may hold '=' itself, as "(?=a)" does: the split moves on to the next '=' while
    // the pattern before it does not compile. A rule that splits well at the first '=' keeps
    // its meaning, as only values refused at the first '=' ever reach a later one.
    for (qsizetype next = equals;
         mode == MatchMode::Regex && next > 0 && !checkRule(result.rule).watchError.isEmpty();) {
        next = value.indexOf(u'=', next + 1);
        if (const ResponseRule later = ruleOf(mode, value.left(next), value.mid(next + 1));
            next > 0 && checkRule(later).watchError.isEmpty())
            result.rule = later;
    }
    if (const QString error = checkError(result.rule); !error.isEmpty())
        result.error = option + QStringLiteral(": ") + error;
    return result;
}

RulesFromText rulesFromText(QByteArrayView text) {
    return rulesFrom(text, QStringLiteral("line "));
}

RulesFromText readRulesFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, QStringLiteral("%1: %2").arg(path, file.errorString())};
    // Read in pieces up to one byte past the bound: a pipe or a device has no size to ask.
    QByteArray text;
    while (text.size() <= MaxFileBytes) {
        const QByteArray piece = file.read(MaxFileBytes + 1 - text.size());
        if (piece.isEmpty())
            break;
        text += piece;
    }
    if (file.error() != QFileDevice::NoError)
        return {{}, QStringLiteral("%1: %2").arg(path, file.errorString())};
    if (text.size() > MaxFileBytes)
        return {{}, QStringLiteral("%1: larger than %2 MiB").arg(path).arg(MaxFileBytes >> 20)};
    return rulesFrom(text, path + u':');
}
