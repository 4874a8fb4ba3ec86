#include "settings/settings_store.h"

#include "runtime/paths.h"
#include "settings/ini_value.h"
#include "settings/profile_document.h"
#include "settings/setting_keys.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

#include <functional>

SettingsLocation SettingsLocation::forThisProgram() {
    return {QCoreApplication::applicationDirPath(),
            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation),
            QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)};
}

SettingsStore::SettingsStore(SettingsLocation location) : m_location(std::move(location)) {}

bool SettingsStore::programFolderWritable() const {
    const QFileInfo folder(m_location.programFolder);
    // An installed copy lives under /usr, which stays read-only by convention even for root.
    const QString canonical = folder.canonicalFilePath() + QDir::separator();
    return folder.isDir() && folder.isWritable() && !canonical.startsWith(u"/usr/");
}

QString SettingsStore::settingsFilePath() const {
    if (!m_location.iniFile.isEmpty())
        return m_location.iniFile;
    const QString &folder =
        programFolderWritable() ? m_location.programFolder : m_location.userConfigFolder;
    return joinedPath(folder, QStringLiteral("Sendrel_Settings.ini"));
}

QString SettingsStore::logBaseFolder() const {
    return programFolderWritable() ? m_location.programFolder : m_location.userDataFolder;
}

QString SettingsStore::defaultLogFolder() const {
    return withFinalSeparator(joinedPath(logBaseFolder(), QStringLiteral("Sendrel_Logs")));
}

void SettingsStore::noteProblem(const QString &problem) const {
    if (!problem.isEmpty() && m_problem.isEmpty())
        m_problem = problem;
}

QString SettingsStore::readStored(const QString &section, const QString &key) const {
    const QString file = settingsFilePath();
    QString why;
    const QString text = ReadIniValue(file, section, key, &why);
    if (!why.isEmpty())
        noteProblem(QStringLiteral("The settings could not be read from %1: %2.")
                        .arg(QDir::toNativeSeparators(file), why));
    return text;
}

SettingValue SettingsStore::ReadSetting(const QString &section, const QString &key,
                                        const SettingValue &defaultValue) const {
    const QString text = withoutOuterSpaces(readStored(section, key));

    // Empty text, and text that begins with a control character, give the default.
    const SettingValue candidate = (text > QStringLiteral(" ")) ? SettingValue(text) : defaultValue;
    const QString upper = settingText(candidate).toUpper();
    if (upper == u"TRUE")
        return true;
    if (upper == u"FALSE")
        return false;
    return candidate;
}

QString SettingsStore::readText(const QString &key, const QString &defaultText) const {
    const QString text = readStored(SettingsSection, key);
    return text.isEmpty() ? defaultText : text;
}

namespace {

QString saveProblem(const QString &file, const QString &why) {
    return QStringLiteral("The settings could not be saved to %1: %2.")
        .arg(QDir::toNativeSeparators(file),
             why.isEmpty() ? QStringLiteral("the file cannot be written") : why);
}

} // namespace

QString SettingsStore::fileToWrite() const {
    if (!programFolderWritable() && !m_location.userConfigFolder.isEmpty())
        QDir().mkpath(m_location.userConfigFolder);
    return settingsFilePath();
}

Settings SettingsStore::LoadSettings() const {
    m_problem.clear();
    m_keptBad.clear();
    Settings s;

    KeyLoad load(*this, s);
    for (const SettingKey &key : settingKeys())
        key.read(load, key.name);
    return s;
}

namespace {

using KeyWrite = std::function<void(const QString &key, const SettingValue &value)>;
// Writes a key that is in the file already, or whose value differs from its default.
using AdditionWrite =
    std::function<void(const QString &key, const SettingValue &value, bool changed)>;

// Every key, in the file's order.
void writeAll(const Settings &s, const KeyWrite &write, const AdditionWrite &writeChanged) {
    for (const SettingKey &key : settingKeys()) {
        if (!key.value)
            continue;
        if (key.changed)
            writeChanged(key.name, key.value(s), key.changed(s));
        else
            write(key.name, key.value(s));
    }
}

// Each key as a save would write it, and whether it is to be written into a file that lacks it.
QHash<QString, std::pair<QByteArray, bool>> writtenKeys(const Settings &s) {
    QHash<QString, std::pair<QByteArray, bool>> keys;
    writeAll(
        s,
        [&keys](const QString &key, const SettingValue &value) {
            keys.insert(key, {storedValueBytes(value), true});
        },
        [&keys](const QString &key, const SettingValue &value, bool changed) {
            keys.insert(key, {storedValueBytes(value), changed});
        });
    return keys;
}

} // namespace

void SettingsStore::SaveSettings(const Settings &s) const {
    save(s, {});
}

void SettingsStore::SaveChanges(const Settings &before, const Settings &after) const {
    const auto old = writtenKeys(before);
    QSet<QString> changed;
    for (const auto &[key, written] : writtenKeys(after).asKeyValueRange())
        if (old.value(key) != written)
            changed.insert(key);
    if (!changed.isEmpty())
        save(after, changed);
}

void SettingsStore::save(const Settings &s, const QSet<QString> &only) const {
    if (m_location.readOnly)
        return;
    m_problem.clear();

    // Every key is set in memory and the file replaced once: a crash or a full disk part way
    // through leaves the old file whole, and a save that changes nothing leaves it untouched.
    const QString file = fileToWrite();
    ProfileFile::Document document;
    QString why;
    if (!document.load(file, &why)) {
        noteProblem(saveProblem(file, why));
        return;
    }
    const QByteArray section = SettingsSection.toUtf8();
    const KeyWrite write = [&](const QString &key, const SettingValue &value) {
        if (!only.isEmpty() && !only.contains(key))
            return;
        QString refused;
        if (!document.setValue(section, key.toUtf8(), storedValueBytes(value), &refused))
            noteProblem(saveProblem(file, refused));
    };
    // Additions stay out of a file until they first differ from their default; once in it, they
    // follow every change.
    const AdditionWrite writeChanged = [&](const QString &key, const SettingValue &value,
                                           bool changed) {
        // Only for a key this save writes: asking about another value forgets the stored one.
        if ((!only.isEmpty() && !only.contains(key)) || keepsBad(key, value))
            return;
        if (changed || !document.value(section, key.toUtf8()).value_or(QByteArray()).isEmpty())
            write(key, value);
    };
    writeAll(s, write, writeChanged);

    if (!document.save(&why))
        noteProblem(saveProblem(file, why));
}
