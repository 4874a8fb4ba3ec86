#include "net/tls_options.h"
#include "runtime/shown_text.h"

#include <QStringList>

#include <cctype>

namespace {

constexpr qsizetype Sha256Size = 32;
// A protocol name is 1-255 bytes on the wire.
constexpr qsizetype LongestProtocol = 255;

} // namespace

QString parsePin(const QString &text, QByteArray &pin) {
    QString digits = text.trimmed();
    // As the fingerprint tool prints it, the label may come along.
    if (const qsizetype equals = digits.indexOf(u'='); equals >= 0)
        digits = digits.mid(equals + 1);
    digits.remove(u':');
    const QByteArray bytes = QByteArray::fromHex(digits.toLatin1());
    bool hex = digits.size() == 2 * Sha256Size;
    for (const QChar c : std::as_const(digits))
        hex = hex && c.unicode() < 128 && std::isxdigit(c.unicode()) != 0;
    if (!hex || bytes.size() != Sha256Size)
        return QStringLiteral("%1 is no SHA-256 fingerprint (64 hex digits, colons optional)")
            .arg(shownValue(text.trimmed()));
    pin = bytes;
    return {};
}

QString parseClientCertificates(const QString &text, ClientCertificates &mode) {
    const QString value = text.trimmed().toLower();
    if (value == u"none")
        mode = ClientCertificates::None;
    else if (value == u"request")
        mode = ClientCertificates::Request;
    else if (value == u"require")
        mode = ClientCertificates::Require;
    else
        return QStringLiteral("%1 is none of none, request and require")
            .arg(shownValue(text.trimmed()));
    return {};
}

QString parseAlpn(const QString &text, QByteArrayList &protocols) {
    QByteArrayList parsed;
    for (const QString &part : text.split(u',', Qt::SkipEmptyParts)) {
        const QByteArray name = part.trimmed().toUtf8();
        if (name.isEmpty())
            continue;
        if (name.size() > LongestProtocol)
            return QStringLiteral("the ALPN protocol %1... is longer than 255 bytes")
                .arg(part.trimmed().left(20));
        if (!parsed.contains(name))
            parsed.append(name);
    }
    protocols = parsed;
    return {};
}

QString pinText(const QByteArray &pin) {
    return QString::fromLatin1(pin.toHex(':').toUpper());
}

QString clientCertificatesText(ClientCertificates mode) {
    switch (mode) {
    case ClientCertificates::Request:
        return QStringLiteral("request");
    case ClientCertificates::Require:
        return QStringLiteral("require");
    case ClientCertificates::None:
        break;
    }
    return QStringLiteral("none");
}

QString alpnText(const QByteArrayList &protocols) {
    return QString::fromUtf8(protocols.join(','));
}
