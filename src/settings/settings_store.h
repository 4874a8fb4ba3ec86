#pragma once

#include <QString>
#include <variant>

struct Controls;

// A stored setting: an integer, a text, or a boolean (what TRUE/FALSE read back as).
using SettingValue = std::variant<int, QString, bool>;

// Where the settings file and the default log folder live: the program's folder, or the
// per-user folders when the program's folder cannot be written (an installed copy).
struct SettingsLocation {
    QString programFolder;    // the folder that holds the executable
    QString userConfigFolder; // fallback for the settings file
    QString userDataFolder;   // fallback for the default log folder
    QString iniFile = {};     // when set, the settings file, wherever the folders above are
    bool readOnly = false;    // loads but never saves (the runs without a screen)

    static SettingsLocation forThisProgram();
};

// One value per call, straight to and from the file (no cache: other writers are seen).
QString ReadIniValue(const QString &file, const QString &section, const QString &key);
bool WriteIniValue(const QString &file, const QString &section, const QString &key,
                   const SettingValue &value);

// The persisted settings of the window.
class SettingsStore {
public:
    SettingsStore(Controls &controls, SettingsLocation location);

    QString settingsFilePath() const;
    QString defaultLogFolder() const; // ends with a separator

    SettingValue ReadSetting(const QString &section, const QString &key,
                             const SettingValue &defaultValue) const;
    bool WriteSetting(const QString &section, const QString &key, const SettingValue &value) const;

    void LoadSettings();
    void SaveSettings();

private:
    // A text setting exactly as stored; empty text gives the default.
    QString ReadText(const QString &key, const QString &defaultText) const;
    bool programFolderWritable() const;

    Controls &m_controls;
    SettingsLocation m_location;
};
