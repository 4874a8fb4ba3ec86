#include "settings/settings_tls.h"

#include "net/network_options.h"
#include "net/tls_options.h"
#include "runtime/shown_text.h"
#include "settings/profile_document.h"
#include "settings/profile_file.h"
#include "settings/settings_store.h"
#include "settings/windows1252.h"

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
    // A file is opened by a UTF-8 name: stored bytes that are none name no file here, and are
    // told as a peer's bytes are, not as characters of the old code page the file was read in.
    ProfileFile::Document document;
    document.load(settingsFilePath());
    const auto file = [&](const char *key, QString &into) {
        const std::optional<QByteArray> stored =
            ProfileFile::findValue(document.text(), SettingsSection.toUtf8(), key);
        if (stored && !Windows1252::isUtf8(*stored)) {
            noteBad(s, QString::fromLatin1(key), escapedBytes(*stored),
                    QStringLiteral("a file name that is not UTF-8 cannot be opened here"),
                    QString());
            return;
        }
        check(
            key,
            [&into](const QString &text) {
                into = text;
                return QString();
            },
            QString());
    };
    TlsOptions &l = s.tls;
    TlsOptions &c = s.clientTls;
    check(
        "TlsEnabled", [&l](const QString &t) { return parseSwitch(t, l.enabled); },
        switchText(false));
    file("TlsCertificate", l.certificateFile);
    file("TlsKey", l.keyFile);
    file("TlsCa", l.caFile);
    check(
        "TlsClientCertificates",
        [&l](const QString &t) { return parseClientCertificates(t, l.clientCertificates); },
        clientCertificatesText(ClientCertificates::None));
    check(
        "TlsSendEnabled", [&c](const QString &t) { return parseSwitch(t, c.enabled); },
        switchText(false));
    file("TlsSendCa", c.caFile);
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
