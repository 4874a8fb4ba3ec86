#include "settings/settings_tls.h"

#include "net/network_options.h"
#include "net/tls_options.h"
#include "settings/settings_store.h"

// The listener's keys first, then the client sends'.
void writeTlsOptions(
    const TlsOptions &listener, const TlsOptions &client,
    const std::function<void(const QString &, const SettingValue &, bool)> &write) {
    write(QStringLiteral("TlsEnabled"), switchText(listener.enabled), listener.enabled);
    write(QStringLiteral("TlsCertificate"), listener.certificateFile,
          !listener.certificateFile.isEmpty());
    write(QStringLiteral("TlsKey"), listener.keyFile, !listener.keyFile.isEmpty());
    write(QStringLiteral("TlsCa"), listener.caFile, !listener.caFile.isEmpty());
    write(QStringLiteral("TlsClientCertificates"),
          clientCertificatesText(listener.clientCertificates),
          listener.clientCertificates != ClientCertificates::None);
    write(QStringLiteral("TlsSendEnabled"), switchText(client.enabled), client.enabled);
    write(QStringLiteral("TlsSendCa"), client.caFile, !client.caFile.isEmpty());
    write(QStringLiteral("TlsSendVerify"), switchText(!client.insecure), client.insecure);
    write(QStringLiteral("TlsSendPin"), pinText(client.pin), !client.pin.isEmpty());
    write(QStringLiteral("TlsSendAlpn"), alpnText(client.alpn), !client.alpn.isEmpty());
}

// Each key checked as the command line checks its option; a bad one reads as its default.
void SettingsStore::loadTlsOptions(Settings &s) const {
    const auto check = [this, &s](const char *key, const auto &parse, const QString &loadedAs) {
        checkStored(s, QString::fromLatin1(key), parse, loadedAs);
    };
    const auto file = [](QString &into) {
        return [&into](const QString &text) {
            into = text;
            return QString();
        };
    };
    TlsOptions &l = s.tls;
    TlsOptions &c = s.clientTls;
    check(
        "TlsEnabled", [&l](const QString &t) { return parseSwitch(t, l.enabled); },
        switchText(false));
    check("TlsCertificate", file(l.certificateFile), QString());
    check("TlsKey", file(l.keyFile), QString());
    check("TlsCa", file(l.caFile), QString());
    check(
        "TlsClientCertificates",
        [&l](const QString &t) { return parseClientCertificates(t, l.clientCertificates); },
        clientCertificatesText(ClientCertificates::None));
    check(
        "TlsSendEnabled", [&c](const QString &t) { return parseSwitch(t, c.enabled); },
        switchText(false));
    check("TlsSendCa", file(c.caFile), QString());
    bool verify = true;
    check(
        "TlsSendVerify", [&verify](const QString &t) { return parseSwitch(t, verify); },
        switchText(true));
    c.insecure = !verify;
    check(
        "TlsSendPin", [&c](const QString &t) { return parsePin(t, c.pin); }, QString());
    check(
        "TlsSendAlpn", [&c](const QString &t) { return parseAlpn(t, c.alpn); }, QString());
}
