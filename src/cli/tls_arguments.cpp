#include "cli/tls_arguments.h"

#include "cli/command_line.h"
#include "net/certificate_files.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

namespace {

// A passphrase is the file's first line, without its line end.
QString readPassphrase(const QString &file, QByteArray &passphrase) {
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return u"--key-pass-file: %1 cannot be read: %2"_s.arg(file, in.errorString());
    passphrase = in.readLine(4096);
    while (passphrase.endsWith('\n') || passphrase.endsWith('\r'))
        passphrase.chop(1);
    return {};
}

QString absolute(const QString &file) {
    return QFileInfo(file).absoluteFilePath();
}

} // namespace

QList<QCommandLineOption> tlsOptionTable() {
    return {
        {u"tls"_s, u"TLS (DTLS with --udp): a secure listener or send; how packets verify."_s},
        {u"cert"_s, u"--tls: the certificate (PEM; a listener's, or a client's)."_s, u"FILE"_s},
        {u"key"_s, u"--tls: the certificate's private key (PEM)."_s, u"FILE"_s},
        {u"key-pass-file"_s, u"--key: its passphrase is the first line of FILE."_s, u"FILE"_s},
        {u"ca"_s, u"--tls: CA certificates (PEM) to verify the peer with."_s, u"FILE"_s},
        {u"client-cert"_s, u"--headless --tls: ask clients for a certificate (none)."_s,
         u"none|request|require"_s},
        {u"insecure"_s, u"--send/--packet --tls: do not verify the server's certificate."_s},
        {u"pin"_s, u"--send/--packet --tls: accept only the certificate with this SHA-256."_s,
         u"FINGERPRINT"_s},
        {u"alpn"_s, u"--tls: offer these application protocols (h2,http/1.1)."_s, u"LIST"_s},
        {u"make-cert"_s, u"Make a key and a self-signed certificate in DIR and exit."_s, u"DIR"_s},
    };
}

namespace {

QString readMakeCert(const QCommandLineParser &parser, CommandLine &line) {
    for (const QString &other : {u"headless"_s, u"send"_s, u"send-file"_s, u"tls"_s}) {
        if (parser.isSet(other))
            return u"--make-cert works on its own, not with --%1"_s.arg(other);
    }
    if (parser.value(u"make-cert"_s).isEmpty())
        return u"--make-cert needs a folder"_s;
    line.makeCertFolder = absolute(parser.value(u"make-cert"_s));
    return {};
}

// Where TLS is asked for, what the run it is asked for can take.
struct TlsUse {
    bool listening;
    bool secureListen;
    bool sending;
    bool packets;
};

QString tlsCombinationError(const QCommandLineParser &parser, const TlsUse &use) {
    if (parser.isSet(u"client-cert"_s) && !use.secureListen)
        return u"--client-cert works only with a secure listener"_s;
    if (!use.listening && !use.sending && !use.packets)
        return u"--tls works only with --headless, --send, --packet or --sequence"_s;
    // Over UDP it is DTLS, for a listener (a relay's too) and for a send.
    if (parser.isSet(u"udp"_s) && use.packets)
        return u"--tls works over --udp only with --headless, --send or --send-file"_s;
    if (parser.isSet(u"udp"_s) && parser.isSet(u"alpn"_s))
        return u"--alpn works only with TCP, not --udp"_s;
    if (parser.isSet(u"client-cert"_s) && !use.listening)
        return u"--client-cert works only with --headless"_s;
    for (const QString &name : {u"insecure"_s, u"pin"_s}) {
        if (parser.isSet(name) && !use.sending && !use.packets)
            return u"--%1 works only with --send, --packet or --sequence"_s.arg(name);
    }
    if (parser.isSet(u"insecure"_s) && parser.isSet(u"pin"_s))
        return u"--insecure and --pin exclude each other"_s;
    if (parser.isSet(u"key-pass-file"_s) && !parser.isSet(u"key"_s))
        return u"--key-pass-file works only with --key"_s;
    if (parser.isSet(u"cert"_s) != parser.isSet(u"key"_s))
        return u"--cert and --key go together"_s;
    return {};
}

QString readTlsValues(const QCommandLineParser &parser, TlsOptions &tls) {
    if (parser.isSet(u"cert"_s)) {
        tls.certificateFile = absolute(parser.value(u"cert"_s));
        tls.keyFile = absolute(parser.value(u"key"_s));
    }
    if (parser.isSet(u"key-pass-file"_s)) {
        if (QString error = readPassphrase(parser.value(u"key-pass-file"_s), tls.keyPassphrase);
            !error.isEmpty())
            return error;
    }
    if (parser.isSet(u"ca"_s))
        tls.caFile = absolute(parser.value(u"ca"_s));
    if (parser.isSet(u"client-cert"_s)) {
        if (const QString error =
                parseClientCertificates(parser.value(u"client-cert"_s), tls.clientCertificates);
            !error.isEmpty())
            return u"--client-cert: "_s + error;
    }
    tls.insecure = parser.isSet(u"insecure"_s);
    if (parser.isSet(u"pin"_s)) {
        if (const QString error = parsePin(parser.value(u"pin"_s), tls.pin); !error.isEmpty())
            return u"--pin: "_s + error;
    }
    if (parser.isSet(u"alpn"_s)) {
        if (const QString error = parseAlpn(parser.value(u"alpn"_s), tls.alpn); !error.isEmpty())
            return u"--alpn: "_s + error;
    }
    return {};
}

} // namespace

QString readTlsOptions(const QCommandLineParser &parser, CommandLine &line) {
    if (parser.isSet(u"make-cert"_s))
        return readMakeCert(parser, line);
    // A relay's TLS sides: the listening one is --tls; the target one reads the client options.
    const QString relaySide = parser.value(u"relay-tls"_s);
    const bool relayTarget = line.relay && line.relay->targetTls;
    TlsUse use;
    use.listening = line.mode == CommandLine::Mode::Headless;
    use.secureListen = parser.isSet(u"tls"_s) || relaySide == u"listen"_s || relaySide == u"both"_s;
    use.sending = line.mode == CommandLine::Mode::Send || relayTarget;
    // --packet and --sequence verify their tls targets with these client options.
    use.packets = line.mode == CommandLine::Mode::Packets && !line.listPackets;
    for (const QString &name : {u"cert"_s, u"key"_s, u"key-pass-file"_s, u"ca"_s, u"client-cert"_s,
                                u"insecure"_s, u"pin"_s, u"alpn"_s}) {
        if (parser.isSet(name) && !parser.isSet(u"tls"_s) && relaySide.isEmpty())
            return u"--%1 works only with --tls"_s.arg(name);
    }
    if (!parser.isSet(u"tls"_s) && relaySide.isEmpty())
        return {};
    if (const QString error = tlsCombinationError(parser, use); !error.isEmpty())
        return error;
    TlsOptions tls;
    tls.enabled = line.mode == CommandLine::Mode::Send || use.secureListen;
    if (const QString error = readTlsValues(parser, tls); !error.isEmpty())
        return error;
    line.tls = tls;
    return {};
}

int makeCertificateRun(const QString &folder) {
    const MadeCertificate made = makeSelfSignedCertificate(folder, QHostInfo::localHostName());
    if (!made.error.isEmpty()) {
        std::fprintf(stderr, "sendrel: %s\n", made.error.toLocal8Bit().constData());
        return 1;
    }
    const QString text = u"certificate: %1\nkey: %2\nSHA-256 fingerprint: %3\n"_s.arg(
        made.certificateFile, made.keyFile, made.fingerprint);
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return 0;
}
