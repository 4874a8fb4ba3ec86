#include "settings/windows1252.h"

#include <QString>
#include <QStringDecoder>

#include <algorithm>
#include <array>

namespace Windows1252 {
namespace {

// 0x80-0x9F; the five bytes Windows leaves undefined map to the control characters of the same
// number, as its own conversion does.
constexpr std::array<char16_t, 32> HighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

bool isUtf8(QByteArrayView bytes) {
    QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    [[maybe_unused]] const QString text = decode(bytes);
    return !decode.hasError();
}

QByteArray toUtf8(QByteArrayView bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        text[i] = (byte >= 0x80 && byte < 0xA0) ? QChar(HighControls[byte - 0x80]) : QChar(byte);
    }
    return text.toUtf8();
}

std::optional<QByteArray> fromUtf8(QByteArrayView utf8) {
    // QString::fromUtf8 would drop a byte order mark that begins the text.
    QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    const QString text = decode(utf8);
    QByteArray bytes(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            bytes[i] = char(c);
            continue;
        }
        const auto *found = std::find(HighControls.begin(), HighControls.end(), c);
        if (found == HighControls.end())
            return std::nullopt;
        bytes[i] = char(0x80 + (found - HighControls.begin()));
    }
    return bytes;
}

} // namespace Windows1252
