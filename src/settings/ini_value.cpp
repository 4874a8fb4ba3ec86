#include "settings/ini_value.h"

#include "settings/profile_file.h"

QString settingText(const SettingValue &value) {
    if (const int *number = std::get_if<int>(&value))
        return QString::number(*number);
    if (const bool *flag = std::get_if<bool>(&value))
        return *flag ? QStringLiteral("True") : QStringLiteral("False");
    return std::get<QString>(value);
}

QString ReadIniValue(const QString &file, const QString &section, const QString &key) {
    QString path = file;
    while (path.startsWith(u' '))
        path.remove(0, 1);
    while (path.endsWith(u' '))
        path.chop(1);
    const std::optional<QByteArray> value =
        ProfileFile::readValue(path, section.toUtf8(), key.toUtf8());
    return value ? QString::fromUtf8(*value) : QString();
}

bool WriteIniValue(const QString &file, const QString &section, const QString &key,
                   const SettingValue &value) {
    // A line break or NUL in a value would start lines of its own in the file.
    QString text = settingText(value);
    text.remove(u'\r');
    text.remove(u'\n');
    text.remove(QChar(u'\0'));
    return ProfileFile::writeValue(file, section.toUtf8(), key.toUtf8(),
                                   ProfileFile::quotedWhereNeeded(text.toUtf8()));
}
