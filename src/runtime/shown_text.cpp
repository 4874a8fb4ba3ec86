#include "runtime/shown_text.h"

#include <QStringDecoder>

QString cutText(QStringView text, const QString &whole) {
    if (text.size() <= LongestShown)
        return text.toString();
    qsizetype end = LongestShown;
    if (text.at(end - 1).isHighSurrogate()) // half a character is no character
        --end;
    return text.left(end).toString() + QStringLiteral("... (%1)").arg(whole);
}

QString shownValue(QStringView value) {
    if (value.size() <= LongestShown)
        return value.toString();
    return cutText(value, QStringLiteral("%1 bytes").arg(value.toUtf8().size()));
}

namespace {

// The length of the UTF-8 sequence that begins `bytes`, or 0 when none does.
qsizetype sequenceLength(QByteArrayView bytes) {
    const auto lead = static_cast<unsigned char>(bytes.front());
    const qsizetype length = lead < 0x80   ? 1
                             : lead < 0xC2 ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 0;
    if (length == 0 || length > bytes.size())
        return 0;
    // The decoder judges overlong forms, surrogates and continuation bytes.
    QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    [[maybe_unused]] const QString one = decode(bytes.first(length));
    return decode.hasError() ? 0 : length;
}

} // namespace

QString escapedBytes(QByteArrayView bytes) {
    QString text;
    text.reserve(bytes.size());
    while (!bytes.isEmpty()) {
        if (const qsizetype length = sequenceLength(bytes); length > 0) {
            text += QString::fromUtf8(bytes.first(length));
            bytes = bytes.sliced(length);
            continue;
        }
        text += QStringLiteral("\\x%1").arg(int(static_cast<unsigned char>(bytes.front())), 2, 16,
                                            QLatin1Char('0'));
        bytes = bytes.sliced(1);
    }
    return text;
}
