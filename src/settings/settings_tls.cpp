#include "net/network_options.h"
#include "net/tls_options.h"
#include "runtime/shown_text.h"
#include "settings/setting_keys.h"
#include "settings/settings_store.h"
#include "settings/windows1252.h"

namespace {

using Side = TlsOptions Settings::*;

// A key checked as the command line checks its option; a bad one reads as its default.
SettingKey tlsKey(const QString &name, Side side,
                  QString (*parse)(const QString &text, TlsOptions &tls), const QString &loadedAs,
                  SettingValue (*value)(const TlsOptions &tls),
                  bool (*changed)(const TlsOptions &tls)) {
    return {name,
            [=](KeyLoad &load, const QString &key) {
                load.check(
                    key, [&](const QString &text) { return parse(text, load.s.*side); }, loadedAs);
            },
            [=](const Settings &s) { return value(s.*side); },
            [=](const Settings &s) { return changed(s.*side); }};
}

// A file is opened by a UTF-8 name: stored bytes that are none name no file here, and are told
// as a peer's bytes are, not as characters of the old code page the file was read in.
SettingKey fileKey(const QString &name, Side side, QString TlsOptions::*file) {
    return {name,
            [=](KeyLoad &load, const QString &key) {
                const std::optional<QByteArray> stored = load.storedBytes(key);
                if (stored && !Windows1252::isUtf8(*stored)) {
                    load.bad(key, escapedBytes(*stored),
                             QStringLiteral("a file name that is not UTF-8 cannot be opened here"),
                             QString());
                    return;
                }
                load.check(
                    key,
                    [&](const QString &text) {
                        load.s.*side.*file = text;
                        return QString();
                    },
                    QString());
            },
            [=](const Settings &s) { return SettingValue(s.*side.*file); },
            [=](const Settings &s) { return !(s.*side.*file).isEmpty(); }};
}

} // namespace

// The listener's keys first, then the client sends'. A key's passphrase is never stored.
void addTlsKeys(QList<SettingKey> &keys) {
    const Side l = &Settings::tls;
    const Side c = &Settings::clientTls;
    const auto enabled = [](const QString &t, TlsOptions &o) { return parseSwitch(t, o.enabled); };
    const auto enabledText = [](const TlsOptions &o) {
        return SettingValue(switchText(o.enabled));
    };
    const auto isEnabled = [](const TlsOptions &o) { return o.enabled; };
    keys.append(tlsKey(QStringLiteral("TlsEnabled"), l, enabled, switchText(false), enabledText,
                       isEnabled));
    keys.append(fileKey(QStringLiteral("TlsCertificate"), l, &TlsOptions::certificateFile));
    keys.append(fileKey(QStringLiteral("TlsKey"), l, &TlsOptions::keyFile));
    keys.append(fileKey(QStringLiteral("TlsCa"), l, &TlsOptions::caFile));
    keys.append(tlsKey(
        QStringLiteral("TlsClientCertificates"), l,
        [](const QString &t, TlsOptions &o) {
            return parseClientCertificates(t, o.clientCertificates);
        },
        clientCertificatesText(ClientCertificates::None),
        [](const TlsOptions &o) {
            return SettingValue(clientCertificatesText(o.clientCertificates));
        },
        [](const TlsOptions &o) { return o.clientCertificates != ClientCertificates::None; }));
    keys.append(tlsKey(QStringLiteral("TlsSendEnabled"), c, enabled, switchText(false), enabledText,
                       isEnabled));
    keys.append(fileKey(QStringLiteral("TlsSendCa"), c, &TlsOptions::caFile));
    keys.append(tlsKey(
        QStringLiteral("TlsSendVerify"), c,
        [](const QString &t, TlsOptions &o) {
            bool verify = !o.insecure;
            const QString why = parseSwitch(t, verify);
            o.insecure = !verify;
            return why;
        },
        switchText(true), [](const TlsOptions &o) { return SettingValue(switchText(!o.insecure)); },
        [](const TlsOptions &o) { return o.insecure; }));
    keys.append(tlsKey(
        QStringLiteral("TlsSendPin"), c,
        [](const QString &t, TlsOptions &o) { return parsePin(t, o.pin); }, QString(),
        [](const TlsOptions &o) { return SettingValue(pinText(o.pin)); },
        [](const TlsOptions &o) { return !o.pin.isEmpty(); }));
    keys.append(tlsKey(
        QStringLiteral("TlsSendAlpn"), c,
        [](const QString &t, TlsOptions &o) { return parseAlpn(t, o.alpn); }, QString(),
        [](const TlsOptions &o) { return SettingValue(alpnText(o.alpn)); },
        [](const TlsOptions &o) { return !o.alpn.isEmpty(); }));
}
