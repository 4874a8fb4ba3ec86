#pragma once

#include <QDateTime>
#include <QLocale>

// The locale's short date, a blank and its time with seconds (no time zone); the time is left
// out at exactly midnight. Without a locale (C/POSIX) the form is "M/d/yyyy h:mm:ss AP".
QString dateTimeText(const QDateTime &when, const QLocale &locale = QLocale::system());
