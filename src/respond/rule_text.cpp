#include "respond/rule_text.h"

#include "respond/auto_responder.h"

#include <QFile>

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
            .arg(fields[0]);
    if (fields[1].isEmpty())
        return QStringLiteral("empty watch string");
    rule = ruleOf(*mode, fields[1], fields[2]);
    if (fields.size() == 4) {
        const std::optional<int> delay = delayFromText(fields[3]);
        if (!delay)
            return QStringLiteral("delay must be 0 to %1 ms, not '%2'")
                .arg(ResponseRule::MaxDelayMs)
                .arg(fields[3]);
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
        ResponseRule rule;
        if (const QString error = ruleLineError(QString::fromUtf8(line), rule); !error.isEmpty())
            return {{}, where + QString::number(number) + QStringLiteral(": ") + error};
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
        return {{}, QStringLiteral("%1 needs WATCH=RESPONSE, not '%2'").arg(option, value)};
    RuleFromText result{ruleOf(mode, value.left(equals), value.mid(equals + 1)), {}};
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
    return rulesFrom(file.readAll(), path + u':');
}
