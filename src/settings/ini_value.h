#pragma once

#include <QByteArray>
#include <QString>
#include <variant>

// A stored setting: an integer, a text, or a boolean (what TRUE/FALSE read back as).
using SettingValue = std::variant<int, QString, bool>;

// One value per call, straight to and from the file (no cache: other writers are seen). When a
// file that exists cannot be read or written, `problem` says why.
QString ReadIniValue(const QString &file, const QString &section, const QString &key,
                     QString *problem = nullptr);
bool WriteIniValue(const QString &file, const QString &section, const QString &key,
                   const SettingValue &value, QString *problem = nullptr);

// The bytes `value` is stored as: its text without line breaks or NUL, quoted where needed.
QByteArray storedValueBytes(const SettingValue &value);

// A setting value as the text that is stored: integers in decimal, booleans as True/False.
QString settingText(const SettingValue &value);

// `text` without the space characters (code 32 only) at either end.
QString withoutOuterSpaces(QString text);
