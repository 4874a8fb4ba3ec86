#include "runtime/leading_number.h"

#include "runtime/hex_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool isIgnored(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\n';
}

int digitValue(char c, int base) {
    const int value = hexValue(QChar::fromLatin1(c));
    return value < base ? value : -1;
}

double readWhole(const std::string &s, size_t pos, int base) {
    double value = 0;
    for (; pos < s.size(); ++pos) {
        const int digit = digitValue(s[pos], base);
        if (digit < 0)
            break;
        value = value * base + digit;
    }
    return value;
}

// Decides overflow against underflow for a number std::from_chars could not represent.
double outOfRange(const std::string &mantissa, long long exponent) {
    long long magnitude = 0;
    const size_t point = mantissa.find('.');
    const std::string whole = mantissa.substr(0, point);
    const size_t firstWhole = whole.find_first_not_of('0');
    if (firstWhole != std::string::npos) {
        magnitude = qint64(whole.size() - firstWhole) - 1;
    } else if (point != std::string::npos) {
        const size_t firstFraction = mantissa.find_first_not_of('0', point + 1);
        if (firstFraction == std::string::npos)
            return 0;
        magnitude = -qint64(firstFraction - point);
    } else {
        return 0;
    }
    return magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

// The text in ASCII without the blanks a number may hold anywhere.
std::string asciiWithoutBlanks(const QString &text) {
    std::string s;
    s.reserve(size_t(text.size()));
    for (const QChar c : text) {
        if (isIgnored(c))
            continue;
        // Anything outside ASCII ends a number, so it may stand in as a stop mark.
        s.push_back(c.unicode() < 0x80 ? char(c.unicode()) : '\x7f');
    }
    return s;
}

// Digits with at most one '.' from pos: where they end, or npos when no digit stands among them.
size_t mantissaEnd(const std::string &s, size_t pos) {
    bool point = false;
    bool anyDigit = false;
    for (; pos < s.size(); ++pos) {
        if (s[pos] >= '0' && s[pos] <= '9')
            anyDigit = true;
        else if (s[pos] == '.' && !point)
            point = true;
        else
            break;
    }
    return anyDigit ? pos : std::string::npos;
}

// An exponent at pos ('E' or 'e', optional sign, digits): where it ends, and its value, held
// short of overflow; pos and 0 when no digit follows the E.
size_t exponentEnd(const std::string &s, size_t pos, long long &exponent) {
    exponent = 0;
    if (pos >= s.size() || (s[pos] != 'E' && s[pos] != 'e'))
        return pos;
    size_t e = pos + 1;
    bool negative = false;
    if (e < s.size() && (s[e] == '+' || s[e] == '-')) {
        negative = s[e] == '-';
        ++e;
    }
    const size_t digitsStart = e;
    while (e < s.size() && s[e] >= '0' && s[e] <= '9') {
        if (exponent < 1'000'000'000)
            exponent = exponent * 10 + (s[e] - '0');
        ++e;
    }
    if (e == digitsStart) {
        exponent = 0;
        return pos;
    }
    if (negative)
        exponent = -exponent;
    return e;
}

} // namespace

double leadingNumber(const QString &text) {
    const std::string s = asciiWithoutBlanks(text);
    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'H' || s[1] == 'h')
            return readWhole(s, 2, 16);
        if (s[1] == 'O' || s[1] == 'o')
            return readWhole(s, 2, 8);
        return 0;
    }

    size_t start = 0;
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '+' || s[0] == '-'))
        start = 1;
    const size_t pos = mantissaEnd(s, start);
    if (pos == std::string::npos)
        return 0;
    const std::string mantissa = s.substr(start, pos - start);
    long long exponent = 0;
    const size_t end = exponentEnd(s, pos, exponent);
    const std::string number = mantissa + s.substr(pos, end - pos);

    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        value = outOfRange(mantissa, exponent);
    return negative ? -value : value;
}

QString normalisedPortText(const QString &text) {
    const double value = leadingNumber(text);
    // A value too large for a number cannot be converted: the text stays as typed.
    if (!std::isfinite(value))
        return text;
    const double whole = std::floor(value);
    if (whole == 0)
        return QStringLiteral("0");
    if (std::fabs(whole) < 9.2e18)
        return QString::number(qint64(whole));
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, whole, std::chars_format::fixed);
    return QString::fromLatin1(buffer, result.ptr - buffer);
}

std::optional<qint64> decimalNumber(QStringView text, qint64 most) {
    if (text.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const int digit = c.unicode() - u'0';
        // Checked before it is made: a value near the largest would overflow.
        if (value > (most - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}
