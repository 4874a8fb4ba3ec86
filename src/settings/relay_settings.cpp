#include "settings/setting_keys.h"
#include "settings/settings_store.h"

namespace {

// Each value as the command line checks it; a missing or empty key is its default, a bad one
// is told and read as its default, and a save writes the default over it.
SettingKey relayKey(const QString &name,
                    std::function<QString(RelayOptions &relay, const QString &text)> parse,
                    std::function<SettingValue(const RelayOptions &relay)> value,
                    std::function<bool(const RelayOptions &relay)> changed) {
    return {name,
            [parse = std::move(parse)](KeyLoad &load, const QString &key) {
                load.check(
                    key, [&](const QString &text) { return parse(load.s.relay, text); }, QString());
            },
            [value = std::move(value)](const Settings &s) { return value(s.relay); },
            [changed = std::move(changed)](const Settings &s) { return changed(s.relay); }};
}

// A link fault of one way, parsed by `parse` into that way's faults.
SettingKey faultKey(const QString &name, bool up,
                    QString (*parse)(const QString &text, LinkFaults &faults),
                    SettingValue (*value)(const LinkFaults &faults),
                    bool (*changed)(const LinkFaults &faults)) {
    const auto way = [up](auto &relay) -> auto & {
        return up ? relay.up : relay.down;
    };
    return relayKey(
        name + (up ? QStringLiteral("Up") : QStringLiteral("Down")),
        [=](RelayOptions &relay, const QString &text) { return parse(text, way(relay)); },
        [=](const RelayOptions &relay) { return value(way(relay)); },
        [=](const RelayOptions &relay) { return changed(way(relay)); });
}

} // namespace

void addRelayKeys(QList<SettingKey> &keys) {
    keys.append(relayKey(
        QStringLiteral("RelayTarget"),
        [](RelayOptions &relay, const QString &text) { return parseRelayTarget(text, relay); },
        [](const RelayOptions &relay) {
            return SettingValue(relay.active() ? relay.targetText() : QString());
        },
        [](const RelayOptions &relay) { return relay.active(); }));
    for (const bool up : {true, false}) {
        keys.append(faultKey(
            QStringLiteral("RelayDelay"), up,
            [](const QString &text, LinkFaults &f) { return parseDelay(text, f); },
            [](const LinkFaults &f) { return SettingValue(delayText(f)); },
            [](const LinkFaults &f) { return f.delayMaxMs > 0; }));
        keys.append(faultKey(
            QStringLiteral("RelayDrop"), up,
            [](const QString &text, LinkFaults &f) { return parseDropPercent(text, f); },
            [](const LinkFaults &f) { return SettingValue(f.dropPercent); },
            [](const LinkFaults &f) { return f.dropPercent > 0; }));
        keys.append(faultKey(
            QStringLiteral("RelayRate"), up,
            [](const QString &text, LinkFaults &f) { return parseRate(text, f); },
            [](const LinkFaults &f) { return SettingValue(QString::number(f.ratePerSecond)); },
            [](const LinkFaults &f) { return f.ratePerSecond > 0; }));
        keys.append(faultKey(
            QStringLiteral("RelayCut"), up,
            [](const QString &text, LinkFaults &f) { return parseCut(text, f); },
            [](const LinkFaults &f) { return SettingValue(QString::number(f.cutAfter)); },
            [](const LinkFaults &f) { return f.cutAfter > 0; }));
    }
    keys.append(relayKey(
        QStringLiteral("RelayTargetTls"),
        [](RelayOptions &relay, const QString &text) {
            if (text != u"0" && text != u"1")
                return QStringLiteral("not 0 or 1");
            relay.targetTls = text == u"1";
            return QString();
        },
        [](const RelayOptions &relay) { return SettingValue(relay.targetTls ? 1 : 0); },
        [](const RelayOptions &relay) { return relay.targetTls; }));
}
