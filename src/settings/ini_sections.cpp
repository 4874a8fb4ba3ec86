#include "settings/ini_sections.h"

#include "settings/profile_document.h"
#include "settings/profile_file.h"
#include "settings/windows1252.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

QString besideSettingsFile(const QString &settingsFile, const QString &name) {
    return QFileInfo(settingsFile).dir().filePath(name);
}

QString unquotedIniValue(QStringView value) {
    value = value.trimmed();
    if (value.size() >= 2 && value.startsWith(u'"') && value.endsWith(u'"'))
        value = value.sliced(1, value.size() - 2);
    return value.toString();
}

QString quotedIniValue(const QString &value) {
    return QString::fromUtf8(ProfileFile::quotedWhereNeeded(value.toUtf8()));
}

QStringView withoutIniComment(QStringView value) {
    for (qsizetype i = 1; i < value.size(); ++i) {
        if (value[i] == u';' && value[i - 1].isSpace())
            return value.first(i);
    }
    return value;
}

std::optional<bool> yesNoValue(QStringView text) {
    for (const auto yes : {u"yes", u"true", u"1"}) {
        if (text.compare(yes, Qt::CaseInsensitive) == 0)
            return true;
    }
    for (const auto no : {u"no", u"false", u"0"}) {
        if (text.compare(no, Qt::CaseInsensitive) == 0)
            return false;
    }
    return std::nullopt;
}

std::optional<QString> iniSectionName(QStringView line) {
    line = line.trimmed();
    if (!line.startsWith(u'[') || !line.endsWith(u']'))
        return std::nullopt;
    return line.sliced(1, line.size() - 2).trimmed().toString();
}

bool readIniText(const QString &path, QString &text, QString *problem) {
    ProfileFile::Document document;
    bool loaded = document.load(path, problem);
    QByteArray bytes = document.text();
    // No text holds a zero byte: whatever this is, an edit must not write over it.
    if (const qsizetype zero = bytes.indexOf('\0'); loaded && zero >= 0) {
        loaded = false;
        if (problem)
            *problem = u"it is binary, not text (byte %1 is 0)"_s.arg(zero + 1);
        bytes.clear();
    }
    text = Windows1252::isUtf8(bytes) ? QString::fromUtf8(bytes)
                                      : QString::fromUtf8(Windows1252::toUtf8(bytes));
    return loaded;
}

bool writeIniText(const QString &path, const QString &text, bool readable, QString *problem) {
    ProfileFile::Document document;
    if (!readable || !document.load(path, problem)) {
        if (problem && problem->isEmpty())
            *problem = u"the file could not be read"_s;
        return false;
    }
    document.setWholeText(text.toUtf8());
    return document.save(problem);
}
