#include "respond/response_rule.h"

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
    // Digits only: QString's reader would take "+5", " 5" or "0x10" as well.
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    int value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value > ResponseRule::MaxDelayMs)
        return std::nullopt;
    return value;
}
