#pragma once

#include "respond/response_rule.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

// The command-line option that adds a rule of this mode: "respond" for exact, "respond-hex",
// "respond-contains" and so on (without the leading dashes).
QString respondOption(MatchMode mode);

struct RuleFromText {
    ResponseRule rule;
    QString error; // empty when the rule is good
};

// The value of a respond option, WATCH=RESPONSE split at the first '=' (in regex mode at the
// first '=' before which the pattern compiles, so "(?=a)b=x" watches for "(?=a)b"). Hex mode takes
// both sides as hex pairs and sends the response's bytes exactly, with no line end. The error names
// the option, e.g. "--respond-regex needs WATCH=RESPONSE, not 'x'" or "--respond-regex: Pattern
// error at offset 1: ...".
RuleFromText ruleFromOption(MatchMode mode, const QString &value);

// A rules file holds at most this many bytes and rules; beyond, it is refused.
constexpr qsizetype MaxFileBytes = qsizetype(16) << 20;
constexpr qsizetype MaxFileRules = 100'000;

struct RulesFromText {
    QList<ResponseRule> rules;
    QString error; // empty when every line is good; otherwise "line N: reason"
};

// A rules file: UTF-8, one rule per line, MODE<TAB>WATCH<TAB>RESPONSE[<TAB>DELAY], with MODE one
// of exact, contains, starts, ends, regex, hex (hex as its command-line option: both sides hex
// pairs, no line end) and DELAY in milliseconds. Fields are taken as written, blanks included;
// a tab in a watch or response string is written %TAB%. Lines may end in LF or CR LF; a line
// whose first character is '#' and a line of nothing but blanks and tabs are skipped. The first
// bad line ends the reading, as does a line that is not valid UTF-8 and a rule past
// MaxFileRules.
RulesFromText rulesFromText(QByteArrayView text);
// The same from a file (a pipe too); errors read "FILE:N: reason", or "FILE: reason" when it
// cannot be read or holds more than MaxFileBytes.
RulesFromText readRulesFile(const QString &path);
