#include "settings/setting_keys.h"

#include "runtime/leading_number.h"
#include "runtime/paths.h"
#include "runtime/tokens.h"
#include "settings/profile_file.h"
#include "settings/settings_store.h"

#include <cmath>

KeyLoad::KeyLoad(const SettingsStore &store, Settings &settings) : s(settings), m_store(store) {}

QString KeyLoad::text(const QString &key, const QString &defaultText) const {
    return m_store.readText(key, defaultText);
}

SettingValue KeyLoad::value(const QString &key, const SettingValue &defaultValue) const {
    return m_store.ReadSetting(SettingsStore::SettingsSection, key, defaultValue);
}

void KeyLoad::check(const QString &key, const std::function<QString(const QString &text)> &parse,
                    const std::optional<QString> &loadedAs) const {
    m_store.checkStored(s, key, parse, loadedAs);
}

void KeyLoad::bad(const QString &key, const QString &value, const QString &reason,
                  const std::optional<QString> &loadedAs) const {
    m_store.noteBad(s, key, value, reason, loadedAs);
}

std::optional<QByteArray> KeyLoad::storedBytes(const QString &key) {
    if (!m_document) {
        m_document.emplace();
        m_document->load(m_store.settingsFilePath());
    }
    return ProfileFile::findValue(m_document->text(), SettingsStore::SettingsSection.toUtf8(),
                                  key.toUtf8());
}

QString KeyLoad::defaultLogFolder() const {
    return m_store.defaultLogFolder();
}

namespace {

// Compared with the number 0; text that is not a number counts as 0.
bool isZero(const SettingValue &value) {
    if (const int *number = std::get_if<int>(&value))
        return *number == 0;
    if (const bool *flag = std::get_if<bool>(&value))
        return !*flag;
    bool ok = false;
    const double number = std::get<QString>(value).toDouble(&ok);
    return !ok || number == 0;
}

// Compared with the text "0"; a stored FALSE counts as 0, a TRUE does not.
bool isTextZero(const SettingValue &value) {
    if (const QString *text = std::get_if<QString>(&value))
        return *text == u"0";
    return isZero(value);
}

// A check-box Value from a stored value: a whole number from 0 to 2, or nothing.
std::optional<int> checkValue(const SettingValue &value) {
    int number = -1;
    if (const int *stored = std::get_if<int>(&value)) {
        number = *stored;
    } else if (const QString *text = std::get_if<QString>(&value)) {
        bool ok = false;
        number = text->toShort(&ok);
        if (!ok)
            return std::nullopt;
    } else {
        number = std::get<bool>(value) ? -1 : 0;
    }
    if (number < 0 || number > 2)
        return std::nullopt;
    return number;
}

// A flag stored as 1 or 0, read as a number that is not 0.
SettingKey flagKey(const QString &name, bool Settings::*flag, bool classic) {
    SettingKey key{
        name,
        [flag](KeyLoad &load, const QString &key) { load.s.*flag = !isZero(load.value(key, 0)); },
        [flag](const Settings &s) { return SettingValue(s.*flag ? 1 : 0); }};
    if (!classic)
        key.changed = [flag](const Settings &s) { return s.*flag; };
    return key;
}

// The keys every settings file holds, in their order.
void addClassicKeys(QList<SettingKey> &keys, const QStringList &watchKeys,
                    const QStringList &responseKeys) {
    keys.append({SettingName::Port,
                 [](KeyLoad &load, const QString &key) {
                     Settings &s = load.s;
                     s.port = load.text(key, s.port);
                     // Read as the port box reads it ("abc" is 0, "7000.9" is 7000); only a
                     // number no port can have is refused.
                     if (const double port = std::floor(leadingNumber(s.port));
                         !(port >= 0 && port <= 65535))
                         load.bad(key, s.port, QStringLiteral("the port must be 0 to 65535"));
                 },
                 [](const Settings &s) { return SettingValue(s.port); }});
    keys.append(flagKey(QStringLiteral("TcpUdpMode"), &Settings::udp, true));
    keys.append(flagKey(QStringLiteral("CreateLog"), &Settings::createLog, true));
    keys.append({QStringLiteral("ReceiveMode"),
                 [](KeyLoad &load, const QString &key) {
                     load.s.httpRequests = !isTextZero(load.value(key, QStringLiteral("0")));
                 },
                 [](const Settings &s) {
                     return SettingValue(s.httpRequests ? QStringLiteral("1")
                                                        : QStringLiteral("0"));
                 }});
    keys.append({QStringLiteral("LogPath"),
                 [](KeyLoad &load, const QString &key) {
                     load.s.logPath = withFinalSeparator(load.text(key, load.defaultLogFolder()));
                 },
                 [](const Settings &s) { return SettingValue(withFinalSeparator(s.logPath)); }});
    keys.append({QStringLiteral("EnableAutoRespond"),
                 [](KeyLoad &load, const QString &key) {
                     load.s.enableAutoRespond = checkValue(load.value(key, 0));
                 },
                 [](const Settings &s) { return SettingValue(s.enableAutoRespond.value_or(0)); }});
    for (int i = 0; i < PairCount; ++i) {
        for (const bool watch : {true, false}) {
            auto Settings::*texts = watch ? &Settings::watchStrings : &Settings::responseStrings;
            keys.append({watch ? watchKeys[i] : responseKeys[i],
                         [texts, i](KeyLoad &load, const QString &key) {
                             (load.s.*texts)[i] = load.text(key, {});
                         },
                         [texts, i](const Settings &s) {
                             return SettingValue(withLineBreakTokens((s.*texts)[i]));
                         }});
        }
    }
}

// Stored after the response strings, and only once switched on.
void addViewKeys(QList<SettingKey> &keys) {
    keys.append(flagKey(QStringLiteral("ShowHex"), &Settings::showHex, false));
    keys.append(flagKey(QStringLiteral("ShowTimeStamps"), &Settings::showTimeStamps, false));
    keys.append(flagKey(QStringLiteral("SendAsHex"), &Settings::sendAsHex, false));
    keys.append({QStringLiteral("TextZoom"),
                 [](KeyLoad &load, const QString &key) {
                     bool read = false;
                     const int zoom = settingText(load.value(key, load.s.textZoom)).toInt(&read);
                     if (read)
                         load.s.textZoom = zoom;
                 },
                 [](const Settings &s) { return SettingValue(s.textZoom); },
                 [](const Settings &s) { return s.textZoom != Settings().textZoom; }});
}

QList<SettingKey> allKeys() {
    QStringList watchKeys;
    QStringList responseKeys;
    for (int i = 0; i < PairCount; ++i) {
        watchKeys.append(QStringLiteral("WatchString%1").arg(i));
        responseKeys.append(QStringLiteral("ResponseString%1").arg(i));
    }
    QList<SettingKey> keys;
    // Each group's keys are tagged with it as they are appended.
    const auto addGroup = [&keys](SettingGroup group, const std::function<void()> &add) {
        const qsizetype first = keys.size();
        add();
        for (qsizetype i = first; i < keys.size(); ++i)
            keys[i].group = group;
    };
    addGroup(SettingGroup::Classic, [&] { addClassicKeys(keys, watchKeys, responseKeys); });
    addGroup(SettingGroup::View, [&] { addViewKeys(keys); });
    addGroup(SettingGroup::Network, [&] { addNetworkKeys(keys); });
    addGroup(SettingGroup::Pair, [&] { addPairKeys(keys, watchKeys, responseKeys); });
    addGroup(SettingGroup::Relay, [&] { addRelayKeys(keys); });
    addGroup(SettingGroup::Tls, [&] { addTlsKeys(keys); });
    return keys;
}

} // namespace

const QList<SettingKey> &settingKeys() {
    static const QList<SettingKey> keys = allKeys();
    return keys;
}

std::optional<SettingGroup> settingGroup(const QString &name) {
    if (name.isEmpty()) // a check across keys, which has no name of its own
        return std::nullopt;
    for (const SettingKey &key : settingKeys())
        if (key.name == name)
            return key.group;
    return std::nullopt;
}
