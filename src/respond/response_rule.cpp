#include "respond/response_rule.h"

#include "runtime/leading_number.h"

#include <array>

namespace {

struct ModeName {
    MatchMode mode;
    QStringView name;
};

constexpr std::array<ModeName, 6> ModeNames{{{MatchMode::Exact, u""},
                                             {MatchMode::Contains, u"contains"},
                                             {MatchMode::Starts, u"starts"},
                                             {MatchMode::Ends, u"ends"},
                                             {MatchMode::Regex, u"regex"},
                                             {MatchMode::Hex, u"hex"}}};

} // namespace

QString matchModeName(MatchMode mode) {
    for (const ModeName &entry : ModeNames) {
        if (entry.mode == mode)
            return entry.name.toString();
    }
    return {};
}

std::optional<MatchMode> matchModeFromName(QStringView name) {
    if (name.compare(u"exact", Qt::CaseInsensitive) == 0)
        return MatchMode::Exact;
    for (const ModeName &entry : ModeNames) {
        if (name.compare(entry.name, Qt::CaseInsensitive) == 0)
            return entry.mode;
    }
    return std::nullopt;
}

std::optional<int> delayFromText(QStringView text) {
    const std::optional<qint64> value = decimalNumber(text, ResponseRule::MaxDelayMs);
    return value ? std::optional<int>(int(*value)) : std::nullopt;
}
