#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// What the files of [sections] the operator keeps beside the settings file (packets, faults)
// share: how a value is written and read back, and how the whole file is read and replaced.

// The file `name` in the folder of `settingsFile`.
QString besideSettingsFile(const QString &settingsFile, const QString &name);

// A value as written: trimmed, one pair of outer double quotes taken off.
QString unquotedIniValue(QStringView value);
// A value as it must be written for unquotedIniValue to give it back.
QString quotedIniValue(const QString &value);
// Values other than free text may carry a comment after a blank.
QStringView withoutIniComment(QStringView value);
// yes/true/1 or no/false/0, in any letter case.
std::optional<bool> yesNoValue(QStringView text);
// The name in a "[name]" line, or nothing for a line that opens no section.
std::optional<QString> iniSectionName(QStringView line);

// The file's text: a missing file is empty. False, with `problem` saying why and `text` empty,
// when the file exists but cannot be read or is no text.
bool readIniText(const QString &path, QString &text, QString *problem);
// Replaces the file with `text` as UTF-8 in one atomic write. A file that was not `readable` at
// its load is never written over.
bool writeIniText(const QString &path, const QString &text, bool readable, QString *problem);
