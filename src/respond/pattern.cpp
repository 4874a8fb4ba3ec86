#include "respond/pattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <QList>

#include <initializer_list>

namespace {

constexpr uint32_t CaptureSlots = std::tuple_size_v<Captures>;
// A pattern like (a|b)*c over a 64 KiB chunk needs more than PCRE2's default 32 KiB.
constexpr PCRE2_SIZE JitStackStart = 32 * 1024;
constexpr PCRE2_SIZE JitStackMax = 1024 * 1024;

const char *bytesOf(QByteArrayView view) {
    return view.data() ? view.data() : "";
}

pcre2_code *compiled(QByteArrayView pattern, int *error, PCRE2_SIZE *offset) {
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(bytesOf(pattern)), PCRE2_SIZE(pattern.size()),
                         0, error, offset, nullptr);
}

QString messageOf(int code) {
    PCRE2_UCHAR buffer[256];
    const int length = pcre2_get_error_message(code, buffer, sizeof buffer);
    if (length < 0)
        return QStringLiteral("error %1").arg(code);
    return QString::fromUtf8(reinterpret_cast<const char *>(buffer), length);
}

// Items such as (*UTF) or (*LIMIT_MATCH=5) are only recognised at the very start of a pattern.
qsizetype startItemsLength(QByteArrayView pattern) {
    const auto isNameChar = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    };
    qsizetype at = 0;
    while (pattern.sliced(at).startsWith("(*")) {
        qsizetype i = at + 2;
        while (i < pattern.size() && isNameChar(pattern[i]))
            ++i;
        if (i < pattern.size() && pattern[i] == '=') {
            ++i;
            while (i < pattern.size() && pattern[i] >= '0' && pattern[i] <= '9')
                ++i;
        }
        if (i == at + 2 || i >= pattern.size() || pattern[i] != ')')
            break;
        at = i + 1;
    }
    return at;
}

// The pattern behind a callout that PCRE2 runs at each start position it tries, where the time
// of the whole search is checked: the match limit alone restarts at every position. The group
// keeps top-level alternatives behind the callout; the closing parenthesis must survive a
// trailing \Q quote (hence \E) and, in extended mode, a trailing # comment (hence the second
// try, whose line break ends the comment and is otherwise blank space there).
pcre2_code *budgeted(QByteArrayView pattern) {
    const qsizetype head = startItemsLength(pattern);
    for (const char *tail : {"\\E)", "\\E\n)"}) {
        const QByteArray wrapped = pattern.first(head).toByteArray()
                                   + "(?C)(?:" + pattern.sliced(head).toByteArray() + tail;
        int error = 0;
        PCRE2_SIZE offset = 0;
        if (pcre2_code *code = compiled(wrapped, &error, &offset))
            return code;
    }
    return nullptr;
}

int checkBudget(pcre2_callout_block *, void *data) {
    auto &budget = *static_cast<PatternMatcher::Budget *>(data);
    // A clock reading costs more than trying a position that fails at once; every eighth
    // position is checked, so a search overruns its budget by at most seven positions, each
    // bounded by the match limit.
    if (budget.positions++ % 8 != 0)
        return 0;
    const auto now = std::chrono::steady_clock::now();
    if (budget.positions == 1) {
        // The clock starts at the first position tried: a pattern that PCRE2 rules out without
        // trying one costs no clock reading.
        budget.deadline = now + PatternMatcher::TimeBudget;
        return 0;
    }
    return now > budget.deadline ? PCRE2_ERROR_CALLOUT : 0;
}

// The other case of an ASCII letter, the case the default character tables know; -1 otherwise.
int otherCase(int byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ? byte ^ 0x20 : -1;
}

bool isUtfError(int code) {
    return (code <= PCRE2_ERROR_UTF8_ERR1 && code >= PCRE2_ERROR_UTF8_ERR21)
           || code == PCRE2_ERROR_BADUTFOFFSET;
}

} // namespace

void Pattern::CodeFree::operator()(pcre2_real_code_8 *code) const {
    pcre2_code_free(code);
}

Pattern::Pattern(QByteArrayView pattern) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code *plain = compiled(pattern, &error, &offset);
    if (!plain) {
        const qsizetype characters =
            QString::fromUtf8(pattern.first(qMin(qsizetype(offset), pattern.size())))
                .toUcs4()
                .size();
        m_error =
            QStringLiteral("Pattern error at offset %1: %2").arg(characters).arg(messageOf(error));
        return;
    }
    // An anchored pattern is tried at one position only, which the match limit bounds.
    uint32_t options = 0;
    pcre2_pattern_info(plain, PCRE2_INFO_ALLOPTIONS, &options);
    pcre2_code *wrapped = options & PCRE2_ANCHORED ? nullptr : budgeted(pattern);
    if (wrapped) {
        pcre2_code_free(plain);
        m_searched.reset(wrapped);
    } else {
        m_searched.reset(plain);
    }
    // Where JIT is not available the interpreter matches, under the same bounds.
    pcre2_jit_compile(m_searched.get(), PCRE2_JIT_COMPLETE);

    // With UTF-8 a caseless letter may match a character of another first byte.
    if (options & PCRE2_UTF)
        return;
    m_anchored = options & PCRE2_ANCHORED;
    uint32_t type = 0;
    uint32_t unit = 0;
    if (pcre2_pattern_info(m_searched.get(), PCRE2_INFO_FIRSTCODETYPE, &type) == 0 && type == 1
        && pcre2_pattern_info(m_searched.get(), PCRE2_INFO_FIRSTCODEUNIT, &unit) == 0)
        m_firstByte = int(unit);
    if (pcre2_pattern_info(m_searched.get(), PCRE2_INFO_LASTCODETYPE, &type) == 0 && type == 1
        && pcre2_pattern_info(m_searched.get(), PCRE2_INFO_LASTCODEUNIT, &unit) == 0)
        m_requiredByte = int(unit);
}

bool Pattern::mayMatch(QByteArrayView subject) const {
    // PCRE2 does not say whether these bytes are caseless: a letter counts in either case.
    const auto has = [&](int byte) {
        const int other = otherCase(byte);
        return subject.contains(char(byte)) || (other >= 0 && subject.contains(char(other)));
    };
    if (m_firstByte >= 0) {
        const bool first = m_anchored ? !subject.isEmpty()
                                            && (uchar(subject[0]) == m_firstByte
                                                || uchar(subject[0]) == otherCase(m_firstByte))
                                      : has(m_firstByte);
        if (!first)
            return false;
    }
    return m_requiredByte < 0 || has(m_requiredByte);
}

Pattern::Pattern(Pattern &&) noexcept = default;
Pattern &Pattern::operator=(Pattern &&) noexcept = default;
Pattern::~Pattern() = default;

void PatternMatcher::Free::operator()(pcre2_real_match_data_8 *data) const {
    pcre2_match_data_free(data);
}

void PatternMatcher::Free::operator()(pcre2_real_match_context_8 *context) const {
    pcre2_match_context_free(context);
}

void PatternMatcher::Free::operator()(pcre2_real_jit_stack_8 *stack) const {
    pcre2_jit_stack_free(stack);
}

PatternMatcher::PatternMatcher()
    : m_data(pcre2_match_data_create(CaptureSlots, nullptr)),
      m_context(pcre2_match_context_create(nullptr)),
      m_jitStack(pcre2_jit_stack_create(JitStackStart, JitStackMax, nullptr)) {
    pcre2_set_match_limit(m_context.get(), MatchLimit);
    pcre2_set_depth_limit(m_context.get(), MatchLimit);
    pcre2_set_callout(m_context.get(), checkBudget, &m_budget);
    pcre2_jit_stack_assign(m_context.get(), nullptr, m_jitStack.get());
}

PatternMatcher::~PatternMatcher() = default;

MatchOutcome PatternMatcher::match(const Pattern &pattern, QByteArrayView subject,
                                   Captures &captures) {
    if (!pattern.isValid() || !pattern.mayMatch(subject))
        return MatchOutcome::NoMatch;
    m_budget.positions = 0;
    const char *bytes = bytesOf(subject);
    const int result = pcre2_match(pattern.m_searched.get(), reinterpret_cast<PCRE2_SPTR>(bytes),
                                   PCRE2_SIZE(subject.size()), 0, 0, m_data.get(), m_context.get());
    if (result == PCRE2_ERROR_NOMATCH || isUtfError(result))
        return MatchOutcome::NoMatch;
    if (result < 0) {
        m_gaveUpReason = result == PCRE2_ERROR_CALLOUT
                             ? QStringLiteral("search took more than %1 ms").arg(TimeBudget.count())
                             : messageOf(result);
        return MatchOutcome::GaveUp;
    }
    // 0: more groups than slots took part; the first ones are still set.
    const uint32_t set = result == 0 ? CaptureSlots : uint32_t(result);
    const PCRE2_SIZE *ovector = pcre2_get_ovector_pointer(m_data.get());
    for (uint32_t i = 0; i < CaptureSlots; ++i) {
        const PCRE2_SIZE start = ovector[2 * i];
        const PCRE2_SIZE end = ovector[2 * i + 1];
        captures[i] = i < set && start != PCRE2_UNSET && start <= end
                          ? QByteArrayView(bytes + start, qsizetype(end - start))
                          : QByteArrayView();
    }
    return MatchOutcome::Match;
}
