#include "net/network_options.h"
#include "runtime/shown_text.h"

#include <QNetworkInterface>
#include <QStringList>

namespace {

// An address as typed; "[::1]" is an IPv6 literal too. Qt also reads "127.1" and "0x7f.0.0.1",
// which an operator hardly means, so IPv4 must be the four plain numbers.
QString parseAddress(const QString &text, QHostAddress &address) {
    QString literal = text.trimmed();
    if (literal.size() > 2 && literal.startsWith(u'[') && literal.endsWith(u']'))
        literal = literal.mid(1, literal.size() - 2);
    QHostAddress parsed;
    if (!parsed.setAddress(literal)
        || (parsed.protocol() == QAbstractSocket::IPv4Protocol && parsed.toString() != literal))
        return QStringLiteral("%1 is not an IPv4 or IPv6 address").arg(shownValue(text.trimmed()));
    address = parsed;
    return {};
}

// A whole number the check takes; `notNumber` says what it is not, with the text in %1.
QString parseChecked(const QString &text, int &value, QString (*check)(int),
                     const QString &notNumber) {
    bool isNumber = false;
    const int parsed = text.trimmed().toInt(&isNumber, 10);
    if (!isNumber)
        return notNumber.arg(shownValue(text.trimmed()));
    if (QString error = check(parsed); !error.isEmpty())
        return error;
    value = parsed;
    return {};
}

} // namespace

QString parseListenAddress(const QString &text, QHostAddress &address) {
    if (text.trimmed().isEmpty()) {
        address.clear();
        return {};
    }
    QHostAddress parsed;
    if (QString error = parseAddress(text, parsed); !error.isEmpty())
        return error;
    const QString scope = parsed.scopeId();
    const bool linkLocal =
        parsed.protocol() == QAbstractSocket::IPv6Protocol && parsed.isLinkLocal();
    if (linkLocal && scope.isEmpty())
        return QStringLiteral("%1 is link-local and needs its interface, as in %1%eth0")
            .arg(parsed.toString());
    if (!scope.isEmpty() && !linkLocal) {
        QHostAddress unscoped = parsed;
        unscoped.setScopeId({});
        return QStringLiteral("%1 is not link-local, so it takes no interface after %")
            .arg(unscoped.toString());
    }
    if (QString error = checkInterfaceName(scope); !error.isEmpty())
        return error;
    address = parsed;
    return {};
}

QString parseMulticastGroup(const QString &text, QHostAddress &group) {
    QHostAddress parsed;
    if (QString error = parseAddress(text, parsed); !error.isEmpty())
        return error;
    if (!parsed.scopeId().isEmpty())
        return QStringLiteral("%1: give the group without %, and the interface on its own")
            .arg(shownValue(text.trimmed()));
    if (!parsed.isMulticast())
        return QStringLiteral("%1 is not a multicast group (224.0.0.0/4 or ff00::/8)")
            .arg(parsed.toString());
    group = parsed;
    return {};
}

QString parseMulticastGroups(const QString &text, QList<QHostAddress> &groups) {
    QList<QHostAddress> parsed;
    for (const QString &part : text.split(u',', Qt::SkipEmptyParts)) {
        if (part.trimmed().isEmpty())
            continue;
        QHostAddress group;
        if (QString error = parseMulticastGroup(part, group); !error.isEmpty())
            return error;
        if (!parsed.contains(group))
            parsed.append(group);
    }
    groups = parsed;
    return {};
}

QString checkInterfaceName(const QString &name) {
    if (name.isEmpty() || QNetworkInterface::interfaceFromName(name).isValid())
        return {};
    return QStringLiteral("there is no network interface named %1").arg(shownValue(name));
}

QString parseMulticastTtl(const QString &text, int &ttl) {
    return parseChecked(text, ttl, checkMulticastTtl,
                        QStringLiteral("the multicast TTL %1 is not a whole number"));
}

QString checkMulticastTtl(int ttl) {
    if (ttl >= 0 && ttl <= NetworkOptions::MaxMulticastTtl)
        return {};
    return QStringLiteral("the multicast TTL %1 is outside 0-%2")
        .arg(ttl)
        .arg(NetworkOptions::MaxMulticastTtl);
}

QString parseReceiveBuffer(const QString &text, int &kib) {
    return parseChecked(text, kib, checkReceiveBuffer,
                        QStringLiteral("the receive buffer %1 is not a whole number of KiB"));
}

QString checkReceiveBuffer(int kib) {
    if (kib >= 0 && kib <= NetworkOptions::MaxReceiveBufferKiB)
        return {};
    return QStringLiteral("the receive buffer %1 KiB is outside 0-%2")
        .arg(kib)
        .arg(NetworkOptions::MaxReceiveBufferKiB);
}

QString parseSwitch(const QString &text, bool &on) {
    const QString value = text.trimmed();
    if (value != u"0" && value != u"1")
        return QStringLiteral("%1 is neither 0 nor 1").arg(shownValue(value));
    on = value == u"1";
    return {};
}

QString checkNetworkOptions(const NetworkOptions &options) {
    QHostAddress unused;
    QString error;
    if (!options.listenAddress.isNull())
        error = parseListenAddress(options.listenAddress.toString(), unused);
    for (const QHostAddress &group : options.multicastGroups) {
        if (error.isEmpty())
            error = parseMulticastGroup(group.toString(), unused);
    }
    // Linux hands a group's datagrams only to sockets bound to all addresses or to the group.
    const QHostAddress &bound = options.listenAddress;
    if (error.isEmpty() && !options.multicastGroups.isEmpty() && !bound.isNull()
        && !bound.isMulticast() && bound != QHostAddress::AnyIPv4 && bound != QHostAddress::AnyIPv6)
        error = QStringLiteral("a listener on %1 hears no multicast group; listen on all "
                               "addresses or on the group's own")
                    .arg(bound.toString());
    if (error.isEmpty())
        error = checkInterfaceName(options.multicastInterface);
    if (error.isEmpty())
        error = checkMulticastTtl(options.multicastTtl);
    if (error.isEmpty())
        error = checkReceiveBuffer(options.udpReceiveBufferKiB);
    return error;
}

QString listenAddressProblem(const NetworkOptions &options) {
    if (options.unusableListenAddress.isEmpty())
        return {};
    QHostAddress unused;
    return QStringLiteral("ListenAddress=%1: %2")
        .arg(options.unusableListenAddress,
             parseListenAddress(options.unusableListenAddress, unused));
}

QString listenAddressText(const QHostAddress &address) {
    return address.isNull() ? QString() : address.toString();
}

QString multicastGroupsText(const QList<QHostAddress> &groups) {
    QStringList texts;
    for (const QHostAddress &group : groups)
        texts.append(group.toString());
    return texts.join(u',');
}

QString switchText(bool on) {
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

QString networkStatusSuffix(const NetworkOptions &options) {
    QStringList parts;
    if (!options.listenAddress.isNull())
        parts.append(QStringLiteral("address ") + options.listenAddress.toString());
    if (!options.multicastGroups.isEmpty()) {
        parts.append(
            (options.multicastGroups.size() == 1 ? QStringLiteral("group ")
                                                 : QStringLiteral("groups "))
            + multicastGroupsText(options.multicastGroups).replace(u',', QStringLiteral(", ")));
    }
    if (!options.multicastInterface.isEmpty())
        parts.append(QStringLiteral("interface ") + options.multicastInterface);
    if (options.allowBroadcast)
        parts.append(QStringLiteral("broadcast allowed"));
    if (options.multicastTtl != NetworkOptions::DefaultMulticastTtl)
        parts.append(QStringLiteral("TTL ") + QString::number(options.multicastTtl));
    if (options.sendFromListenPort)
        parts.append(QStringLiteral("sending from this port"));
    if (options.udpReceiveBufferKiB > 0)
        parts.append(QStringLiteral("receive buffer %1 KiB").arg(options.udpReceiveBufferKiB));
    return parts.isEmpty() ? QString() : QStringLiteral(" (") + parts.join(u"; ") + u')';
}
