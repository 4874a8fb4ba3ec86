#pragma once

#include <QString>
#include <optional>

// The leading numeric value of a text, read the way the port box reads it: blanks, tabs and
// line feeds ignored anywhere, optional sign, digits with one '.', optional exponent, or the
// &H / &O prefixes; 0 when no number can be read.
double leadingNumber(const QString &text);

// The port box's text after a change: the decimal text of the largest whole number not
// greater than the text's leading numeric value.
QString normalisedPortText(const QString &text);

// A count, port or time given as an option's value: decimal digits only (leading zeros read as
// decimal), no sign, no blanks; nothing for any other text or for a value above `most`.
std::optional<qint64> decimalNumber(QStringView text, qint64 most);
