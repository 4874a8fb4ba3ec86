#include "runtime/date_time_text.h"

#include <algorithm>

namespace {

bool isCLocale(const QLocale &locale) {
    return locale.language() == QLocale::C || locale.name() == QLatin1String("C");
}

// The locale's long time format without its time-zone field ('t' runs) and the blanks that
// separated it; quoted literals are kept as they are.
QString timeFormatWithoutZone(const QLocale &locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString result;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format.at(i);
        if (c == u'\'') {
            const qsizetype end = format.indexOf(u'\'', i + 1);
            const qsizetype stop = end < 0 ? format.size() : end + 1;
            result += format.mid(i, stop - i);
            i = stop;
        } else if (c == u't') {
            while (i < format.size() && format.at(i) == u't')
                ++i;
            while (!result.isEmpty() && result.back().isSpace())
                result.chop(1);
        } else {
            result += c;
            ++i;
        }
    }
    return result.trimmed();
}

// Writes `value` (not negative) in decimal with at least `width` digits; answers the end.
char *putDecimal(char *at, int value, int width) {
    int digits = 1;
    for (int rest = value / 10; rest > 0; rest /= 10)
        ++digits;
    digits = std::max(digits, width);
    for (int i = digits - 1; i >= 0; --i, value /= 10)
        at[i] = char('0' + value % 10);
    return at + digits;
}

// "M/d/yyyy h:mm:ss AP" of a four-digit year, or the date alone.
QString cLocaleText(const QDate &date, const QTime &time, bool dateOnly) {
    char text[32];
    char *at = putDecimal(text, date.month(), 1);
    *at++ = '/';
    at = putDecimal(at, date.day(), 1);
    *at++ = '/';
    at = putDecimal(at, date.year(), 4);
    if (!dateOnly) {
        *at++ = ' ';
        at = putDecimal(at, time.hour() % 12 == 0 ? 12 : time.hour() % 12, 1);
        *at++ = ':';
        at = putDecimal(at, time.minute(), 2);
        *at++ = ':';
        at = putDecimal(at, time.second(), 2);
        *at++ = ' ';
        *at++ = time.hour() < 12 ? 'A' : 'P';
        *at++ = 'M';
    }
    return QString::fromLatin1(text, at - text);
}

} // namespace

QString dateTimeText(const QDateTime &when, const QLocale &locale) {
    const QDate date = when.date();
    const QTime time = when.time();
    const bool midnight = time.hour() == 0 && time.minute() == 0 && time.second() == 0;

    if (isCLocale(locale)) {
        // Written out by hand: every received chunk is stamped with this text, and parsing the
        // format strings each time cost more than the rest of the stamp.
        if (date.year() >= 1000 && date.year() <= 9999)
            return cLocaleText(date, time, midnight);
        const QLocale c = QLocale::c();
        const QString dateText = c.toString(date, QStringLiteral("M/d/yyyy"));
        if (midnight)
            return dateText;
        return dateText + u' ' + c.toString(time, QStringLiteral("h:mm:ss AP"));
    }

    const QString dateText = locale.toString(date, QLocale::ShortFormat);
    if (midnight)
        return dateText;
    return dateText + u' ' + locale.toString(time, timeFormatWithoutZone(locale));
}
