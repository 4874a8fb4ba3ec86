#include "settings/settings_store.h"

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

// Each option as the command line checks it; a missing or empty key is its default.
void SettingsStore::loadNetworkOptions(Settings &s) const {
    NetworkOptions &n = s.network;
    const NetworkOptions defaults;
    const auto check = [this, &s](const char *key, const auto &parse,
                                  const std::optional<QString> &loadedAs) {
        checkStored(s, QString::fromLatin1(key), parse, loadedAs);
    };
    check(
        "ListenAddress",
        [&n](const QString &text) {
            const QString why = parseListenAddress(text, n.listenAddress);
            if (!why.isEmpty())
                n.unusableListenAddress = text;
            return why;
        },
        std::nullopt);
    check(
        "MulticastGroups",
        [&n](const QString &text) { return parseMulticastGroups(text, n.multicastGroups); },
        QString());
    // Kept even when there is no such interface, so the start fails by its name instead of
    // quietly taking the system's choice.
    check(
        "MulticastInterface",
        [&n](const QString &text) {
            n.multicastInterface = text;
            return checkInterfaceName(text);
        },
        std::nullopt);
    check(
        "AllowBroadcast", [&n](const QString &text) { return parseSwitch(text, n.allowBroadcast); },
        switchText(defaults.allowBroadcast));
    check(
        "MulticastTtl",
        [&n](const QString &text) { return parseMulticastTtl(text, n.multicastTtl); },
        QString::number(defaults.multicastTtl));
    check(
        "SendFromListenPort",
        [&n](const QString &text) { return parseSwitch(text, n.sendFromListenPort); },
        switchText(defaults.sendFromListenPort));
}

// A pair's options, then its watch and response as the pair's mode compiles them: a pair that
// could never answer is as bad a value as a mode that is none.
void SettingsStore::loadPairOptions(Settings &s) const {
    const PairOptions defaults;
    for (int i = 0; i < PairCount; ++i) {
        PairOptions &options = s.pairOptions[i];
        const QString n = QString::number(i);
        const auto stored = [this, &n](const char *key) {
            return settingText(ReadSetting(SettingsSection, QLatin1String(key) + n, QString()));
        };
        if (const QString mode = stored("WatchMode"); !mode.isEmpty()) {
            if (const std::optional<MatchMode> known = matchModeFromName(mode))
                options.mode = *known;
            else
                noteBad(s, QStringLiteral("WatchMode") + n, mode,
                        QStringLiteral("the mode must be exact, contains, starts, ends, regex "
                                       "or hex"),
                        QStringLiteral("exact"));
        }
        const auto readSwitch = [&](const char *key, bool &on, bool defaultOn) {
            const QString text = stored(key);
            if (text.isEmpty())
                return;
            const QString upper = text.toUpper();
            if (upper == u"TRUE" || upper == u"FALSE")
                on = upper == u"TRUE";
            else if (const QString why = parseSwitch(text, on); !why.isEmpty())
                noteBad(s, QLatin1String(key) + n, text, why, QString::number(int(defaultOn)));
        };
        readSwitch("ResponseHex", options.responseHex, defaults.responseHex);
        readSwitch("ResponseLineEnd", options.lineEnd, defaults.lineEnd);
        if (const QString delay = stored("ResponseDelay").trimmed(); !delay.isEmpty()) {
            if (const std::optional<int> ms = delayFromText(delay))
                options.delayMs = *ms;
            else
                noteBad(
                    s, QStringLiteral("ResponseDelay") + n, delay,
                    QStringLiteral("the delay must be 0 to %1 ms").arg(ResponseRule::MaxDelayMs),
                    QStringLiteral("0"));
        }

        const ResponseRule rule{options.mode,        s.watchStrings[i], s.responseStrings[i],
                                options.responseHex, options.lineEnd,   options.delayMs};
        const RuleCheck check = checkRule(rule);
        if (!check.watchError.isEmpty())
            noteBad(s, QStringLiteral("WatchString") + n, rule.watch, check.watchError);
        if (!check.responseError.isEmpty())
            noteBad(s, QStringLiteral("ResponseString") + n, rule.response, check.responseError);
    }
}
