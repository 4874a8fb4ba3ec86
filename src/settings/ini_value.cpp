#include "settings/ini_value.h"

#include "settings/profile_file.h"

#include <QStringDecoder>

QString settingText(const SettingValue &value) {
    if (const int *number = std::get_if<int>(&value))
        return QString::number(*number);
    if (const bool *flag = std::get_if<bool>(&value))
        return *flag ? QStringLiteral("True") : QStringLiteral("False");
    return std::get<QString>(value);
}

QString withoutOuterSpaces(QString text) {
    qsizetype start = 0;
    while (start < text.size() && text[start] == u' ')
        ++start;
    qsizetype end = text.size();
    while (end > start && text[end - 1] == u' ')
        --end;
    return text.sliced(start, end - start);
}

QString ReadIniValue(const QString &file, const QString &section, const QString &key,
                     QString *problem) {
    const std::optional<QByteArray> value =
        ProfileFile::readValue(withoutOuterSpaces(file), section.toUtf8(), key.toUtf8(), problem);
    if (!value)
        return QString();
    // QString::fromUtf8 would drop a byte order mark that begins the value.
    QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decode(*value);
}

QByteArray storedValueBytes(const SettingValue &value) {
    // A line break or NUL in a value would start lines of its own in the file.
    QString text = settingText(value);
    text.remove(u'\r');
    text.remove(u'\n');
    text.remove(QChar(u'\0'));
    return ProfileFile::quotedWhereNeeded(text.toUtf8());
}

bool WriteIniValue(const QString &file, const QString &section, const QString &key,
                   const SettingValue &value, QString *problem) {
    return ProfileFile::writeValue(file, section.toUtf8(), key.toUtf8(), storedValueBytes(value),
                                   problem);
}
