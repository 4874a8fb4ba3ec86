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

// The value of a respond option, WATCH=RESPONSE split at the first '='. Hex mode takes both
// sides as hex pairs and sends the response's bytes exactly, with no line end. The error names
// the option, e.g. "--respond-regex needs WATCH=RESPONSE, not 'x'" or "--respond-regex: Pattern
// error at offset 1: ...".
RuleFromText ruleFromOption(MatchMode mode, const QString &value);

struct RulesFromText {
    QList<ResponseRule> rules;
    QString error; // empty when every line is good; otherwise "line N: reason"
};

// A rules file: UTF-8, one rule per line, MODE<TAB>WATCH<TAB>RESPONSE[<TAB>DELAY], with MODE one
// of exact, contains, starts, ends, regex, hex (hex as its command-line option: both sides hex
// pairs, no line end) and DELAY in milliseconds. Fields are taken as written, blanks included;
// a tab in a watch or response string is written %TAB%. Lines may end in LF or CR LF; a line
// whose first character is '#' and a line of nothing but blanks and tabs are skipped. The first
// bad line ends the reading.
RulesFromText rulesFromText(QByteArrayView text);
// The same from a file; errors read "FILE:N: reason", or "FILE: reason" when it cannot be read.
RulesFromText readRulesFile(const QString &path);
