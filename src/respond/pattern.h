#pragma once

#include "respond/captures.h"

#include <QString>

#include <chrono>
#include <memory>

// PCRE2's own types, so that only pattern.cpp needs its header.
struct pcre2_real_code_8;
struct pcre2_real_match_data_8;
struct pcre2_real_match_context_8;
struct pcre2_real_jit_stack_8;

// A Perl-compatible pattern, compiled (and JIT-compiled where the platform allows) once. It works
// on raw bytes: "." is any byte, NUL and 0xFF included, and no chunk is checked for UTF-8. A
// pattern that begins with (*UTF) works on UTF-8 characters instead; a chunk that is not valid
// UTF-8 then never matches it.
class Pattern {
public:
    explicit Pattern(QByteArrayView pattern);
    Pattern(Pattern &&) noexcept;
    Pattern &operator=(Pattern &&) noexcept;
    ~Pattern();

    bool isValid() const { return m_searched != nullptr; }
    // Why the pattern does not compile, e.g. "Pattern error at offset 4: missing closing
    // parenthesis"; the offset counts characters of the pattern. Empty when it compiled.
    QString error() const { return m_error; }

private:
    friend class PatternMatcher;
    // False when the subject lacks a byte every match needs; spares the call into PCRE2, which
    // with many rules costs more than this look.
    bool mayMatch(QByteArrayView subject) const;

    struct CodeFree {
        void operator()(pcre2_real_code_8 *code) const;
    };
    // The code searched with: the operator's pattern behind a callout that keeps a whole search
    // within the time budget (the plain pattern in the rare case where it cannot be wrapped).
    std::unique_ptr<pcre2_real_code_8, CodeFree> m_searched;
    // The byte a match begins with (at the start of the subject when anchored) and a byte every
    // match holds further on; -1 where PCRE2 knows none.
    int m_firstByte = -1;
    int m_requiredByte = -1;
    bool m_anchored = false;
    QString m_error;
};

enum class MatchOutcome { Match, NoMatch, GaveUp };

// The state every match needs, made once and reused for every chunk and every pattern: match
// data, limits, a JIT stack. A match is bounded twice: each start position may take at most
// MatchLimit steps (the classic runaway, like ^(a+)+$ against "aaa...ab", stops there), and a
// whole search of one chunk at most TimeBudget (a chunk that makes every one of its positions
// costly). Either bound counts as GaveUp, which the caller treats as no match.
class PatternMatcher {
public:
    static constexpr unsigned MatchLimit = 200'000;
    static constexpr std::chrono::milliseconds TimeBudget{10};

    PatternMatcher();
    ~PatternMatcher();
    PatternMatcher(const PatternMatcher &) = delete;
    PatternMatcher &operator=(const PatternMatcher &) = delete;

    // Searches `subject` anywhere unless the pattern is anchored; on Match `captures` holds the
    // whole match and the groups 1 to 9. An invalid pattern never matches.
    MatchOutcome match(const Pattern &pattern, QByteArrayView subject, Captures &captures);
    // After GaveUp: which bound stopped the search, e.g. "match limit exceeded".
    QString gaveUpReason() const { return m_gaveUpReason; }

    // Public only for the callout function that keeps it.
    struct Budget {
        std::chrono::steady_clock::time_point deadline;
        quint64 positions = 0;
    };

private:
    struct Free {
        void operator()(pcre2_real_match_data_8 *data) const;
        void operator()(pcre2_real_match_context_8 *context) const;
        void operator()(pcre2_real_jit_stack_8 *stack) const;
    };
    std::unique_ptr<pcre2_real_match_data_8, Free> m_data;
    std::unique_ptr<pcre2_real_match_context_8, Free> m_context;
    std::unique_ptr<pcre2_real_jit_stack_8, Free> m_jitStack;
    Budget m_budget;
    QString m_gaveUpReason;
};
