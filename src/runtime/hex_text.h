#pragma once

#include <QByteArray>
#include <QString>

// Text typed as hex: pairs of hex digits in either case; blanks, tabs, line breaks, ':', '-'
// and ',' are ignored anywhere, "0x" where a pair begins. `error` says what is wrong and where,
// e.g. "Not valid hex at character 2: G"; the bytes are then empty.
struct HexText {
    QByteArray bytes;
    QString error;
};

HexText bytesFromHexText(const QString &text);

// The value of one hex digit, or -1 for any other character.
int hexValue(QChar c);
