#pragma once

#include "model/form.h"
#include "model/relay_options.h"
#include "net/network_options.h"
#include "net/tls_options.h"
#include "settings/ini_value.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <array>
#include <functional>
#include <optional>
#include <variant>

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

// A stored value the program cannot use, by its key. `text` names the key, the value, the
// file and the reason, as in "ResponseDelay2=99999999 in /etc/sendrel/7000.ini: ...".
struct BadSetting {
    QString key;
    QString text;
};

// The persisted settings as values; the window maps them onto its controls.
struct Settings {
    QString port = QStringLiteral("7000");
    bool udp = false;
    bool createLog = false;
    bool httpRequests = false;
    QString logPath; // always ends with a separator once loaded
    // The auto-respond box's Value (0, 1 or 2); nothing when the stored value cannot be one,
    // which leaves the box as it is.
    std::optional<int> enableAutoRespond = 0;
    std::array<QString, PairCount> watchStrings;
    std::array<QString, PairCount> responseStrings;

    // Additions: stored after the response strings, and only once switched on.
    bool showHex = false;
    bool showTimeStamps = false;
    bool sendAsHex = false;
    int textZoom = 100; // percent; stored once it differs
    // Each stored once it differs from its default; a stored value that is not valid reads as
    // the default.
    NetworkOptions network;
    // Each pair's match mode, response as hex, line end and delay; stored once they differ.
    std::array<PairOptions, PairCount> pairOptions{};
    // Relay mode's target and link faults; each stored once it differs.
    RelayOptions relay;
    // The listener's and the client sends' TLS; stored once they differ (never a passphrase).
    TlsOptions tls{};
    TlsOptions clientTls{};

    // Loaded only: the values that could not be used, in file order of the keys read. Each
    // such key reads as its default, except that an unusable ListenAddress keeps the listener
    // from starting and a MulticastInterface that does not exist fails the start by its name.
    QList<BadSetting> badValues;
};

// The settings file of the window.
class SettingsStore {
public:
    explicit SettingsStore(SettingsLocation location);

    QString settingsFilePath() const;
    QString defaultLogFolder() const; // ends with a separator
    // The folder a relative log folder is taken from: where the default log folder lives.
    QString logBaseFolder() const;

    SettingValue ReadSetting(const QString &section, const QString &key,
                             const SettingValue &defaultValue) const;

    // Both note what went wrong with the file in problem(), empty when nothing did.
    Settings LoadSettings() const;
    void SaveSettings(const Settings &settings) const;
    // Writes only the keys whose stored text differs between the two (a dialog's OK); the file
    // stays untouched when none does.
    void SaveChanges(const Settings &before, const Settings &after) const;
    QString problem() const { return m_problem; }

private:
    friend class KeyLoad; // each key reads itself through the helpers below
    // Writes the keys in `only`, or every key when it is empty.
    void save(const Settings &settings, const QSet<QString> &only) const;
    // The section every key of the settings file stands in.
    inline static const QString SettingsSection = QStringLiteral("Settings");

    // A text setting exactly as stored; empty text gives the default.
    QString readText(const QString &key, const QString &defaultText) const;
    // The stored text of `key`, noting a file that cannot be read.
    QString readStored(const QString &section, const QString &key) const;
    // Reads `key`; a stored value that `parse` refuses is told, as noteBad tells it. A missing or
    // empty key is left to the default.
    void checkStored(Settings &s, const QString &key,
                     const std::function<QString(const QString &text)> &parse,
                     const std::optional<QString> &loadedAs) const;
    void noteProblem(const QString &problem) const;
    // Notes a bad value of `key`; with `loadedAs`, the default it was read as, a save leaves
    // the stored value in the file until the value to be written is another.
    void noteBad(Settings &s, const QString &key, const QString &value, const QString &reason,
                 const std::optional<QString> &loadedAs = std::nullopt) const;
    // Whether a save leaves the stored bad value of `key` in place of `value`.
    bool keepsBad(const QString &key, const SettingValue &value) const;
    bool programFolderWritable() const;
    // The settings file, its per-user folder made when it is to be used.
    QString fileToWrite() const;

    SettingsLocation m_location;
    mutable QString m_problem;
    mutable QHash<QString, QString> m_keptBad; // key: the text it loaded as
};
