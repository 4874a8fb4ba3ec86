#include "runtime/hex_dump.h"

#include <algorithm>

namespace {

constexpr qsizetype BytesPerLine = 16;
// "00000000" + two blanks + 16 pairs with blanks + the extra blank after the eighth.
constexpr qsizetype AsciiColumn = 8 + 2 + BytesPerLine * 3 + 1;
constexpr char HexDigits[] = "0123456789abcdef";

void appendOffset(QByteArray &out, qsizetype offset) {
    for (int shift = 28; shift >= 0; shift -= 4)
        out += HexDigits[(offset >> shift) & 0xf];
}

} // namespace

QByteArray hexDump(const QByteArray &bytes, qsizetype firstOffset) {
    QByteArray out;
    const qsizetype lines = (bytes.size() + BytesPerLine - 1) / BytesPerLine;
    out.reserve(lines * (AsciiColumn + BytesPerLine + 3) + 9);
    for (qsizetype start = 0; start < bytes.size(); start += BytesPerLine) {
        const qsizetype lineStart = out.size();
        appendOffset(out, firstOffset + start);
        out += ' ';
        const qsizetype end = std::min(start + BytesPerLine, bytes.size());
        for (qsizetype i = start; i < end; ++i) {
            if (i - start == 8)
                out += ' ';
            const auto byte = static_cast<unsigned char>(bytes[i]);
            out += ' ';
            out += HexDigits[byte >> 4];
            out += HexDigits[byte & 0xf];
        }
        out += QByteArray(AsciiColumn - (out.size() - lineStart), ' ');
        out += ' ';
        out += '|';
        for (qsizetype i = start; i < end; ++i) {
            const char c = bytes[i];
            out += (c >= 0x20 && c < 0x7f) ? c : '.';
        }
        out += "|\n";
    }
    appendOffset(out, firstOffset + bytes.size());
    out += '\n';
    return out;
}
