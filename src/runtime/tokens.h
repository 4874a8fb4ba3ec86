#pragma once

#include <QString>

// "%CR%", "%LF%", "%CRLF%" and "%TAB%" replaced, in that order.
QString expandTokens(const QString &text);

// Carriage returns and line feeds written as the tokens that stand for them, so a watch or
// response string stays on one line of the settings file and means the same on use.
QString withLineBreakTokens(QString text);
