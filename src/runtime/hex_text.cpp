#include "runtime/hex_text.h"

#include <QList>

namespace {

bool isSeparator(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == QChar::LineSeparator
           || c == QChar::ParagraphSeparator || c == u':' || c == u'-' || c == u',';
}

} // namespace

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

HexText bytesFromHexText(const QString &text) {
    HexText result;
    int high = -1; // the first digit of a pair still waiting for its second
    qsizetype highAt = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (isSeparator(c))
            continue;
        // "0x" only where a pair may begin: "0x" inside a pair is a digit and a bad character.
        if (high < 0 && c == u'0' && i + 1 < text.size()
            && (text.at(i + 1) == u'x' || text.at(i + 1) == u'X')) {
            ++i;
            continue;
        }
        const int value = hexValue(c);
        if (value < 0) {
            // One character as the operator sees it, a surrogate pair included.
            const qsizetype length =
                (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ? 2
                                                                                                : 1;
            result.error = QStringLiteral("Not valid hex at character %1: %2")
                               .arg(text.left(i).toUcs4().size() + 1)
                               .arg(text.mid(i, length));
            result.bytes.clear();
            return result;
        }
        if (high < 0) {
            high = value;
            highAt = i;
        } else {
            result.bytes.append(char(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0) {
        result.error = QStringLiteral("Not valid hex at character %1: %2 has no second digit")
                           .arg(text.left(highAt).toUcs4().size() + 1)
                           .arg(text.at(highAt));
        result.bytes.clear();
    }
    return result;
}
