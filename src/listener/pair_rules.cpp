#include "listener/pair_rules.h"

#include "model/form.h"

#include <QStringList>

QString matchModeCaption(MatchMode mode) {
    switch (mode) {
    case MatchMode::Exact:
        return QStringLiteral("Exactly");
    case MatchMode::Contains:
        return QStringLiteral("Contains");
    case MatchMode::Starts:
        return QStringLiteral("Starts With");
    case MatchMode::Ends:
        return QStringLiteral("Ends With");
    case MatchMode::Regex:
        return QStringLiteral("Regular Expression");
    case MatchMode::Hex:
        return QStringLiteral("Hex Bytes");
    }
    return {};
}

QString pairOptionsSummary(const PairOptions &options) {
    if (options == PairOptions())
        return {};
    QStringList parts{QStringLiteral("Match: ") + matchModeCaption(options.mode)};
    if (options.responseHex)
        parts << QStringLiteral("response as hex");
    if (!options.lineEnd)
        parts << QStringLiteral("no line end");
    if (options.delayMs > 0)
        parts << QStringLiteral("delay %1 ms").arg(options.delayMs);
    return parts.join(QStringLiteral("; "));
}

PairRules::PairRules(Form &form, const Configuration &configuration)
    : m_form(form), m_configuration(configuration) {
    for (int pair = 0; pair < PairCount; ++pair)
        pairChanged(pair);
}

void PairRules::pairChanged(int pair) {
    const PairOptions &options = m_configuration.pairOptions(pair);
    ResponseRule rule;
    rule.mode = options.mode;
    rule.watch = m_form.txtWatchString[pair]->Text();
    rule.response = m_form.txtResponseString[pair]->Text();
    rule.responseHex = options.responseHex;
    rule.lineEnd = options.lineEnd;
    rule.delayMs = options.delayMs;
    const RuleCheck check = m_responder.setRule(pair, rule);
    m_checks[std::size_t(pair)] = {check.watchError, check.responseError,
                                   pairOptionsSummary(options)};
    emit pairChecked(pair);
}

void PairRules::extraRulesChanged() {
    QList<ResponseRule> rules;
    for (int pair = 0; pair < PairCount; ++pair)
        rules.append(m_responder.rule(pair));
    rules.append(m_configuration.extraRules());
    m_responder.setRules(rules);
}

QList<Answer> PairRules::answersFor(QByteArrayView chunk, const QDateTime &now, const QString &peer,
                                    quint64 listenSession) {
    if (m_countedSession != listenSession
        || m_sent.size() != std::size_t(m_responder.ruleCount())) {
        m_sent.assign(std::size_t(m_responder.ruleCount()), 0);
        m_countedSession = listenSession;
    }
    ChunkAnswers result = m_responder.answersFor(chunk, {now, peer, m_sent});
    for (const QString &warning : std::as_const(result.warnings))
        qCWarning(lcRespond).noquote() << warning;
    for (const Answer &answer : std::as_const(result.answers))
        ++m_sent[std::size_t(answer.rule)];
    return result.answers;
}
