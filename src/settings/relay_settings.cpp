#include "settings/settings_store.h"

// Each value as the command line checks it; a missing or empty key is its default, a bad one
// is told and read as its default.
void SettingsStore::loadRelayOptions(Settings &s) const {
    const auto check = [this, &s](const QString &key, const auto &parse) {
        checkStored(s, key, parse, QString());
    };
    check(QStringLiteral("RelayTarget"),
          [&s](const QString &text) { return parseRelayTarget(text, s.relay); });
    for (const bool up : {true, false}) {
        LinkFaults &faults = up ? s.relay.up : s.relay.down;
        const QString way = up ? QStringLiteral("Up") : QStringLiteral("Down");
        check(QStringLiteral("RelayDelay") + way,
              [&faults](const QString &text) { return parseDelay(text, faults); });
        check(QStringLiteral("RelayDrop") + way,
              [&faults](const QString &text) { return parseDropPercent(text, faults); });
        check(QStringLiteral("RelayRate") + way,
              [&faults](const QString &text) { return parseRate(text, faults); });
        check(QStringLiteral("RelayCut") + way,
              [&faults](const QString &text) { return parseCut(text, faults); });
    }
    check(QStringLiteral("RelayTargetTls"), [&s](const QString &text) {
        if (text != u"0" && text != u"1")
            return QStringLiteral("not 0 or 1");
        s.relay.targetTls = text == u"1";
        return QString();
    });
}
