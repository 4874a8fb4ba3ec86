#pragma once

#include <QString>

#include <optional>

// How a rule's watch string is compared with a received chunk, always as bytes. Exact is the
// classic pair: the expanded watch string's UTF-8 equals the whole chunk. Contains, Starts and
// Ends look for the expanded watch string's UTF-8 anywhere, at the start, at the end. Regex
// searches with a Perl-compatible pattern (see Pattern). Hex reads the watch string as hex pairs
// and looks for those bytes anywhere. A match never spans two chunks.
enum class MatchMode { Exact, Contains, Starts, Ends, Regex, Hex };

// The name the settings file and the rules file use: "contains", "starts", "ends", "regex",
// "hex"; exact is the empty name, as an absent key means exact.
QString matchModeName(MatchMode mode);
// The mode a name stands for, in any letter case; "" and "exact" are Exact. Empty for a name that
// is no mode.
std::optional<MatchMode> matchModeFromName(QStringView name);

// One auto-respond pair or rules-file rule, as the operator gave it.
struct ResponseRule {
    static constexpr int MaxDelayMs = 60000;

    MatchMode mode = MatchMode::Exact;
    QString watch;
    QString response;
    // The response is hex pairs (and tokens) standing for bytes; not in exact mode.
    bool responseHex = false;
    // CR LF after the response.
    bool lineEnd = true;
    // How long the answer waits before it goes out, 0 to MaxDelayMs.
    int delayMs = 0;

    bool operator==(const ResponseRule &) const = default;
};

// A delay as typed: whole milliseconds from 0 to ResponseRule::MaxDelayMs, digits only.
std::optional<int> delayFromText(QStringView text);
