// Feeds arbitrary text to the port box's number reader: it must never crash, and normalising
// its own result must change nothing.
#include "require.h"
#include "runtime/leading_number.h"

#include <QRegularExpression>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(const QString &text) {
    const double number = leadingNumber(text);
    const QString once = normalisedPortText(text);
    const QString twice = normalisedPortText(once);
    require(once == twice, "normalising is idempotent", text);
    if (std::isfinite(number)) {
        static const QRegularExpression whole(QStringLiteral("^-?[0-9]+$"));
        require(whole.match(once).hasMatch(), "a finite number gives a whole number text", text);
        require(leadingNumber(once) == std::floor(number),
                "the whole number text reads back as its value", text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > 4096)
        return 0;
    check(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    // Also as raw UTF-16, lone surrogates included.
    check(QString(reinterpret_cast<const QChar *>(data), qsizetype(size / 2)));
    return 0;
}
