#pragma once

#include <QByteArray>
#include <QString>

// One log entry as the writer lays it out: the time stamp field filled with dashes to 96
// characters, the data, and the closing line.
QByteArray logEntry(const QByteArray &stamp, const QByteArray &data);

// The data parts of every entry of a log file, joined; "<torn entry>" when one is cut. Assumes
// no chunk holds a closing line.
QByteArray loggedData(const QString &file);
