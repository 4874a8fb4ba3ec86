#include "respond/auto_responder.h"

#include "runtime/hex_text.h"
#include "runtime/tokens.h"

#include <algorithm>

Q_LOGGING_CATEGORY(lcRespond, "sendrel.respond")

namespace {

const QString CrLf = QStringLiteral("\r\n");

} // namespace

RuleCheck checkRule(const ResponseRule &rule) {
    return AutoResponder::compiled(rule).check;
}

AutoResponder::AutoResponder() : m_matcher(std::make_unique<PatternMatcher>()) {}
AutoResponder::~AutoResponder() = default;
AutoResponder::AutoResponder(AutoResponder &&) noexcept = default;
AutoResponder &AutoResponder::operator=(AutoResponder &&) noexcept = default;

AutoResponder::Compiled AutoResponder::compiled(const ResponseRule &rule) {
    Compiled c;
    c.mode = rule.mode;
    c.rule = rule;
    c.rule.delayMs = std::clamp(rule.delayMs, 0, ResponseRule::MaxDelayMs);
    switch (rule.mode) {
    case MatchMode::Exact:
    case MatchMode::Contains:
    case MatchMode::Starts:
    case MatchMode::Ends:
        c.watchBytes = expandTokens(rule.watch).toUtf8();
        break;
    case MatchMode::Hex: {
        HexText watch = bytesFromHexText(rule.watch);
        c.check.watchError = watch.error;
        c.watchBytes = std::move(watch.bytes);
        break;
    }
    case MatchMode::Regex:
        c.pattern.emplace(expandTokens(rule.watch).toUtf8());
        c.check.watchError = c.pattern->error();
        break;
    }

    if (rule.mode == MatchMode::Exact) {
        // Byte for byte the classic pair's answer; the hex switch belongs to the richer modes.
        c.exactReplyShown = expandTokens(rule.response);
        c.exactAnswer = (rule.lineEnd ? c.exactReplyShown + CrLf : c.exactReplyShown).toUtf8();
    } else {
        c.answer = AnswerTemplate::compile(rule.response, rule.responseHex, &c.check.responseError);
    }
    c.usable = c.check.ok() && !rule.watch.isEmpty()
               && (rule.mode == MatchMode::Regex || !c.watchBytes.isEmpty());
    return c;
}

QList<RuleCheck> AutoResponder::setRules(const QList<ResponseRule> &rules) {
    QList<RuleCheck> checks;
    m_rules.clear();
    m_rules.reserve(std::size_t(rules.size()));
    for (const ResponseRule &rule : rules) {
        m_rules.push_back(compiled(rule));
        checks.append(m_rules.back().check);
    }
    return checks;
}

RuleCheck AutoResponder::setRule(qsizetype index, const ResponseRule &rule) {
    Q_ASSERT(index >= 0);
    while (ruleCount() <= index)
        m_rules.push_back(compiled({}));
    m_rules[std::size_t(index)] = compiled(rule);
    return m_rules[std::size_t(index)].check;
}

const ResponseRule &AutoResponder::rule(qsizetype index) const {
    return m_rules.at(std::size_t(index)).rule;
}

RuleCheck AutoResponder::check(qsizetype index) const {
    return m_rules.at(std::size_t(index)).check;
}

ChunkAnswers AutoResponder::answersFor(QByteArrayView chunk, const AnswerContext &context) {
    ChunkAnswers result;
    for (int i = 0; i < int(m_rules.size()); ++i) {
        if (std::optional<Answer> answer = answerOf(i, chunk, context, result.warnings))
            result.answers.append(std::move(*answer));
    }
    return result;
}

bool AutoResponder::matchesRule(qsizetype index, QByteArrayView chunk, Captures &captures) {
    Compiled &c = m_rules.at(std::size_t(index));
    QStringList warnings;
    return c.usable && matches(c, int(index), chunk, captures, warnings);
}

// Whether rule c (number `index`) matches the chunk; captures[0] holds what it matched, and a
// pattern's groups follow. A pattern that gives up counts as no match, told once per rule.
bool AutoResponder::matches(Compiled &c, int index, QByteArrayView chunk, Captures &captures,
                            QStringList &warnings) {
    const QByteArrayView watch = c.watchBytes;
    switch (c.mode) {
    case MatchMode::Exact:
        return chunk == watch;
    case MatchMode::Contains:
    case MatchMode::Hex: {
        const qsizetype at = chunk.indexOf(watch);
        if (at < 0)
            return false;
        captures[0] = chunk.sliced(at, watch.size());
        return true;
    }
    case MatchMode::Starts:
        if (!chunk.startsWith(watch))
            return false;
        captures[0] = chunk.first(watch.size());
        return true;
    case MatchMode::Ends:
        if (!chunk.endsWith(watch))
            return false;
        captures[0] = chunk.last(watch.size());
        return true;
    case MatchMode::Regex:
        break;
    }
    const MatchOutcome outcome = m_matcher->match(*c.pattern, chunk, captures);
    if (outcome == MatchOutcome::GaveUp && !c.gaveUpReported) {
        c.gaveUpReported = true;
        warnings.append(QStringLiteral("Auto-respond rule %1 (pattern \"%2\") gave up on a "
                                       "chunk of %3 bytes, counted as no match: %4")
                            .arg(index)
                            .arg(c.rule.watch)
                            .arg(chunk.size())
                            .arg(m_matcher->gaveUpReason()));
    }
    return outcome == MatchOutcome::Match;
}

std::optional<Answer> AutoResponder::answerOf(int index, QByteArrayView chunk,
                                              const AnswerContext &context, QStringList &warnings) {
    Compiled &c = m_rules[std::size_t(index)];
    if (!c.usable)
        return std::nullopt;
    Captures captures{};
    if (!matches(c, index, chunk, captures, warnings))
        return std::nullopt;
    if (c.mode == MatchMode::Exact)
        return Answer{index, c.exactAnswer, c.rule.watch, c.exactReplyShown, c.rule.delayMs};

    const qint64 sent =
        std::size_t(index) < context.answersSent.size() ? context.answersSent[index] : 0;
    QByteArray reply = c.answer.expand(captures, context, sent + 1);
    Answer answer{index,
                  {},
                  c.rule.watch,
                  c.rule.responseHex ? QString::fromLatin1(reply.toHex(' ').toUpper())
                                     : QString::fromUtf8(reply),
                  c.rule.delayMs};
    if (c.rule.lineEnd)
        reply += "\r\n";
    answer.bytes = std::move(reply);
    return answer;
}
