#pragma once

#include "settings/ini_value.h"
#include "settings/profile_document.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class SettingsStore;
struct Settings;

// What a key's reading sees: the stored texts of the file being loaded and the settings it fills.
class KeyLoad {
public:
    KeyLoad(const SettingsStore &store, Settings &settings);

    Settings &s;

    // The text exactly as stored; empty text gives `defaultText`.
    QString text(const QString &key, const QString &defaultText) const;
    // The stored value as the classic keys read it: TRUE and FALSE as booleans, empty text or
    // text that begins with a control character as `defaultValue`.
    SettingValue value(const QString &key, const SettingValue &defaultValue) const;
    // Reads `key`; a stored value that `parse` refuses is told, as bad() tells it. A missing or
    // empty key is left to the default.
    void check(const QString &key, const std::function<QString(const QString &text)> &parse,
               const std::optional<QString> &loadedAs) const;
    // Tells a bad value of `key`; with `loadedAs`, the default it was read as, a save leaves
    // the stored value in the file until the value to be written is another.
    void bad(const QString &key, const QString &value, const QString &reason,
             const std::optional<QString> &loadedAs = std::nullopt) const;
    // The bytes stored for `key`, before any reading as text.
    std::optional<QByteArray> storedBytes(const QString &key);
    QString defaultLogFolder() const;

private:
    const SettingsStore &m_store;
    std::optional<ProfileFile::Document> m_document; // read on the first storedBytes()
};

// The names of the keys that code outside the table asks about; the table names them here too.
namespace SettingName {
inline const QString Port = QStringLiteral("Port");
inline const QString ListenAddress = QStringLiteral("ListenAddress");
inline const QString MulticastGroups = QStringLiteral("MulticastGroups");
inline const QString MulticastInterface = QStringLiteral("MulticastInterface");
inline const QString AllowBroadcast = QStringLiteral("AllowBroadcast");
inline const QString MulticastTtl = QStringLiteral("MulticastTtl");
inline const QString SendFromListenPort = QStringLiteral("SendFromListenPort");
inline const QString UdpReceiveBuffer = QStringLiteral("UdpReceiveBuffer");
} // namespace SettingName

// The groups the keys are stored in, in the file's order.
enum class SettingGroup { Classic, View, Network, Pair, Relay, Tls };

// One key of the settings file: how it reads and is checked, and what and when it is written.
// A key without `value` is a check across the keys before it, and is never written.
struct SettingKey {
    QString name;
    std::function<void(KeyLoad &load, const QString &key)> read;
    std::function<SettingValue(const Settings &s)> value = {};
    // Whether the value differs from its default, which writes it into a file that lacks it.
    // Empty for the classic keys, which every file holds.
    std::function<bool(const Settings &s)> changed = {};
    SettingGroup group = SettingGroup::Classic;
};

// Every key, in the file's order, which is also the order they load and are told in.
const QList<SettingKey> &settingKeys();
// The group of the key named `name`; nothing for a name the table does not hold.
std::optional<SettingGroup> settingGroup(const QString &name);

// The groups of keys, each appended in its order.
void addNetworkKeys(QList<SettingKey> &keys); // settings_checks.cpp
// The pairs' options, each pair's followed by the check of its watch and response, which are
// stored under the names given.
void addPairKeys(QList<SettingKey> &keys, const QStringList &watchKeys,
                 const QStringList &responseKeys); // settings_checks.cpp
void addRelayKeys(QList<SettingKey> &keys);        // relay_settings.cpp
void addTlsKeys(QList<SettingKey> &keys);          // settings_tls.cpp
