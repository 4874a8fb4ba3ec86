#pragma once

#include <QString>

// The leading numeric value of a text, read the way the port box reads it: blanks, tabs and
// line feeds ignored anywhere, optional sign, digits with one '.', optional exponent, or the
// &H / &O prefixes; 0 when no number can be read.
double leadingNumber(const QString &text);

// The port box's text after a change: the decimal text of the largest whole number not
// greater than the text's leading numeric value.
QString normalisedPortText(const QString &text);
