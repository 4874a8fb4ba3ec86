#include "runtime/tokens.h"

QString expandTokens(const QString &text) {
    QString expanded = text;
    expanded.replace(QStringLiteral("%CR%"), QStringLiteral("\r"));
    expanded.replace(QStringLiteral("%LF%"), QStringLiteral("\n"));
    expanded.replace(QStringLiteral("%CRLF%"), QStringLiteral("\r\n"));
    expanded.replace(QStringLiteral("%TAB%"), QStringLiteral("\t"));
    return expanded;
}

QString withLineBreakTokens(QString text) {
    return text.replace(u'\r', QStringLiteral("%CR%")).replace(u'\n', QStringLiteral("%LF%"));
}
