#include "settings/settings_store.h"

#include "settings/setting_keys.h"

#include "respond/auto_responder.h"
#include "runtime/shown_text.h"

#include <QDir>

void SettingsStore::checkStored(Settings &s, const QString &key,
                                const std::function<QString(const QString &text)> &parse,
                                const std::optional<QString> &loadedAs) const {
    const QString text = readStored(SettingsSection, key).trimmed();
    if (text.isEmpty())
        return;
    if (const QString why = parse(text); !why.isEmpty())
        noteBad(s, key, text, why, loadedAs);
}

void SettingsStore::noteBad(Settings &s, const QString &key, const QString &value,
                            const QString &reason, const std::optional<QString> &loadedAs) const {
    // A long value the reason already quotes is not shown a second time.
    const QString shown = shownValue(value);
    const QString named = value.size() > LongestShown && reason.contains(shown)
                              ? key
                              : QStringLiteral("%1=%2").arg(key, shown);
    s.badValues.append(
        {key, QStringLiteral("%1 in %2: %3")
                  .arg(named, QDir::toNativeSeparators(settingsFilePath()), reason)});
    if (loadedAs)
        m_keptBad.insert(key, *loadedAs);
}

bool SettingsStore::keepsBad(const QString &key, const SettingValue &value) const {
    const auto kept = m_keptBad.constFind(key);
    if (kept == m_keptBad.cend())
        return false;
    if (*kept == settingText(value))
        return true;
    m_keptBad.erase(kept); // the operator chose another value
    return false;
}

namespace {

// A key whose stored text `parse` checks; it is written once `changed` holds.
SettingKey checkedKey(const QString &name,
                      std::function<QString(Settings &s, const QString &text)> parse,
                      const std::optional<QString> &loadedAs,
                      std::function<SettingValue(const Settings &s)> value,
                      std::function<bool(const Settings &s)> changed) {
    return {name,
            [parse = std::move(parse), loadedAs](KeyLoad &load, const QString &key) {
                load.check(
                    key, [&](const QString &text) { return parse(load.s, text); }, loadedAs);
            },
            std::move(value), std::move(changed)};
}

// A switch of the network options, stored as 0 or 1.
SettingKey networkSwitch(const QString &name, bool NetworkOptions::*on) {
    return checkedKey(
        name, [on](Settings &s, const QString &text) { return parseSwitch(text, s.network.*on); },
        switchText(NetworkOptions().*on),
        [on](const Settings &s) { return SettingValue(switchText(s.network.*on)); },
        [on](const Settings &s) { return s.network.*on != NetworkOptions().*on; });
}

} // namespace

// Each option as the command line checks it; a missing or empty key is its default.
void addNetworkKeys(QList<SettingKey> &keys) {
    keys.append(checkedKey(
        SettingName::ListenAddress,
        [](Settings &s, const QString &text) {
            const QString why = parseListenAddress(text, s.network.listenAddress);
            if (!why.isEmpty())
                s.network.unusableListenAddress = text;
            return why;
        },
        std::nullopt,
        [](const Settings &s) {
            const NetworkOptions &n = s.network;
            return SettingValue(n.unusableListenAddress.isEmpty()
                                    ? listenAddressText(n.listenAddress)
                                    : n.unusableListenAddress);
        },
        [](const Settings &s) {
            return !s.network.listenAddress.isNull() || !s.network.unusableListenAddress.isEmpty();
        }));
    keys.append(checkedKey(
        SettingName::MulticastGroups,
        [](Settings &s, const QString &text) {
            return parseMulticastGroups(text, s.network.multicastGroups);
        },
        QString(),
        [](const Settings &s) {
            return SettingValue(multicastGroupsText(s.network.multicastGroups));
        },
        [](const Settings &s) { return !s.network.multicastGroups.isEmpty(); }));
    // Kept even when there is no such interface, so the start fails by its name instead of
    // quietly taking the system's choice.
    keys.append(checkedKey(
        SettingName::MulticastInterface,
        [](Settings &s, const QString &text) {
            s.network.multicastInterface = text;
            return checkInterfaceName(text);
        },
        std::nullopt, [](const Settings &s) { return SettingValue(s.network.multicastInterface); },
        [](const Settings &s) { return !s.network.multicastInterface.isEmpty(); }));
    keys.append(networkSwitch(SettingName::AllowBroadcast, &NetworkOptions::allowBroadcast));
    keys.append(checkedKey(
        SettingName::MulticastTtl,
        [](Settings &s, const QString &text) {
            return parseMulticastTtl(text, s.network.multicastTtl);
        },
        QString::number(NetworkOptions().multicastTtl),
        [](const Settings &s) { return SettingValue(QString::number(s.network.multicastTtl)); },
        [](const Settings &s) { return s.network.multicastTtl != NetworkOptions().multicastTtl; }));
    keys.append(
        networkSwitch(SettingName::SendFromListenPort, &NetworkOptions::sendFromListenPort));
    keys.append(checkedKey(
        SettingName::UdpReceiveBuffer,
        [](Settings &s, const QString &text) {
            return parseReceiveBuffer(text, s.network.udpReceiveBufferKiB);
        },
        QStringLiteral("0"),
        [](const Settings &s) {
            return SettingValue(QString::number(s.network.udpReceiveBufferKiB));
        },
        [](const Settings &s) { return s.network.udpReceiveBufferKiB != 0; }));
}

namespace {

// A pair's switch: TRUE and FALSE read as 1 and 0, as the classic keys read them.
SettingKey pairSwitch(const QString &name, int i, bool PairOptions::*on) {
    return {name,
            [i, on](KeyLoad &load, const QString &key) {
                const QString text = settingText(load.value(key, QString()));
                if (text.isEmpty())
                    return;
                bool &value = load.s.pairOptions[i].*on;
                const QString upper = text.toUpper();
                if (upper == u"TRUE" || upper == u"FALSE")
                    value = upper == u"TRUE";
                else if (const QString why = parseSwitch(text, value); !why.isEmpty())
                    load.bad(key, text, why, QString::number(int(PairOptions().*on)));
            },
            [i, on](const Settings &s) { return SettingValue(s.pairOptions[i].*on ? 1 : 0); },
            [i, on](const Settings &s) { return s.pairOptions[i].*on != PairOptions().*on; }};
}

void addPairOptions(QList<SettingKey> &keys, int i) {
    const QString n = QString::number(i);
    keys.append({QStringLiteral("WatchMode") + n,
                 [i](KeyLoad &load, const QString &key) {
                     const QString mode = settingText(load.value(key, QString()));
                     if (mode.isEmpty())
                         return;
                     if (const std::optional<MatchMode> known = matchModeFromName(mode))
                         load.s.pairOptions[i].mode = *known;
                     else
                         load.bad(key, mode,
                                  QStringLiteral("the mode must be exact, contains, starts, ends, "
                                                 "regex or hex"),
                                  QStringLiteral("exact"));
                 },
                 [i](const Settings &s) {
                     const QString mode = matchModeName(s.pairOptions[i].mode);
                     return SettingValue(mode.isEmpty() ? QStringLiteral("exact") : mode);
                 },
                 [i](const Settings &s) { return s.pairOptions[i].mode != PairOptions().mode; }});
    keys.append(pairSwitch(QStringLiteral("ResponseHex") + n, i, &PairOptions::responseHex));
    keys.append(pairSwitch(QStringLiteral("ResponseLineEnd") + n, i, &PairOptions::lineEnd));
    keys.append(
        {QStringLiteral("ResponseDelay") + n,
         [i](KeyLoad &load, const QString &key) {
             const QString delay = settingText(load.value(key, QString())).trimmed();
             if (delay.isEmpty())
                 return;
             if (const std::optional<int> ms = delayFromText(delay))
                 load.s.pairOptions[i].delayMs = *ms;
             else
                 load.bad(
                     key, delay,
                     QStringLiteral("the delay must be 0 to %1 ms").arg(ResponseRule::MaxDelayMs),
                     QStringLiteral("0"));
         },
         [i](const Settings &s) { return SettingValue(s.pairOptions[i].delayMs); },
         [i](const Settings &s) { return s.pairOptions[i].delayMs != PairOptions().delayMs; }});
}

} // namespace

// A pair's options, then its watch and response as the pair's mode compiles them: a pair that
// could never answer is as bad a value as a mode that is none.
void addPairKeys(QList<SettingKey> &keys, const QStringList &watchKeys,
                 const QStringList &responseKeys) {
    for (int i = 0; i < PairCount; ++i) {
        addPairOptions(keys, i);
        keys.append(
            {QString(),
             [i, watch = watchKeys[i], response = responseKeys[i]](KeyLoad &load, const QString &) {
                 const Settings &s = load.s;
                 const PairOptions &o = s.pairOptions[i];
                 const ResponseRule rule{o.mode,        s.watchStrings[i], s.responseStrings[i],
                                         o.responseHex, o.lineEnd,         o.delayMs};
                 const RuleCheck check = checkRule(rule);
                 if (!check.watchError.isEmpty())
                     load.bad(watch, rule.watch, check.watchError);
                 if (!check.responseError.isEmpty())
                     load.bad(response, rule.response, check.responseError);
             }});
    }
}
