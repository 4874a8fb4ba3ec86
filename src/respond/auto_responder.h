#pragma once

#include "respond/answer_template.h"
#include "respond/pattern.h"
#include "respond/response_rule.h"

#include <QByteArrayView>
#include <QList>
#include <QLoggingCategory>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

// Where the warnings of the auto-responder go (sendrel.respond), apart from the sockets' own.
Q_DECLARE_LOGGING_CATEGORY(lcRespond)

// Why a rule cannot answer, per box: the watch box for a pattern that does not compile or hex
// that cannot be read, the response box for a hex response that cannot be read.
struct RuleCheck {
    QString watchError;
    QString responseError;
    bool ok() const { return watchError.isEmpty() && responseError.isEmpty(); }
};

// Checks a rule as the auto-responder would compile it.
RuleCheck checkRule(const ResponseRule &rule);

// One answer to send back on the socket the chunk came from.
struct Answer {
    int rule = 0;
    // What goes on the wire, line end included.
    QByteArray bytes;
    // For the note "Replied to WATCH with:" CR LF "REPLY On Sock:N": the watch string as typed,
    // and the reply without its line end (decoded as UTF-8; a hex response as hex pairs).
    QString watchShown;
    QString replyShown;
    int delayMs = 0;
};

struct ChunkAnswers {
    // In rule order; every rule that matches answers, a match does not end the search.
    QList<Answer> answers;
    // Once per rule and setting of it: the rule's pattern gave up on a chunk, counted as no
    // match. For the lcRespond logging category.
    QStringList warnings;
};

// The auto-respond rules, compiled once when set, matched against every received chunk. An
// exact rule is the classic pair: its expanded watch string's UTF-8 bytes equal the whole chunk,
// and it answers its expanded response and CR LF (unless its line end is off), %TIME% and the
// like sent as typed, the hex switch ignored. The other modes search the chunk's bytes (see
// MatchMode; a pattern's %CR% and the like are expanded before it compiles) and answer through
// an AnswerTemplate. An empty watch string, or a rule whose check fails, never matches.
class AutoResponder {
public:
    AutoResponder();
    ~AutoResponder();
    AutoResponder(AutoResponder &&) noexcept;
    AutoResponder &operator=(AutoResponder &&) noexcept;

    // Replaces every rule; answers each rule's check, by index.
    QList<RuleCheck> setRules(const QList<ResponseRule> &rules);
    // Replaces rule `index`, adding empty rules up to it when needed.
    RuleCheck setRule(qsizetype index, const ResponseRule &rule);
    qsizetype ruleCount() const { return qsizetype(m_rules.size()); }
    const ResponseRule &rule(qsizetype index) const;
    RuleCheck check(qsizetype index) const;

    ChunkAnswers answersFor(QByteArrayView chunk, const AnswerContext &context);
    // Whether rule `index` matches `chunk`, with what it matched and its groups in `captures`.
    bool matchesRule(qsizetype index, QByteArrayView chunk, Captures &captures);

private:
    friend RuleCheck checkRule(const ResponseRule &rule);
    // What every chunk looks at comes first: with many rules, the loop's memory traffic counts.
    struct Compiled {
        bool usable = false;
        MatchMode mode = MatchMode::Exact;
        // Exact, contains, starts, ends and hex compare these bytes.
        QByteArray watchBytes;
        std::optional<Pattern> pattern;
        ResponseRule rule;
        RuleCheck check;
        // An exact rule's answer and shown reply never change; the others' come from the template.
        QByteArray exactAnswer;
        QString exactReplyShown;
        AnswerTemplate answer;
        bool gaveUpReported = false;
    };
    static Compiled compiled(const ResponseRule &rule);
    bool matches(Compiled &c, int index, QByteArrayView chunk, Captures &captures,
                 QStringList &warnings);
    std::optional<Answer> answerOf(int index, QByteArrayView chunk, const AnswerContext &context,
                                   QStringList &warnings);

    std::vector<Compiled> m_rules;
    std::unique_ptr<PatternMatcher> m_matcher;
};
