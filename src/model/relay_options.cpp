#include "model/relay_options.h"

#include "runtime/host_port.h"
#include "runtime/leading_number.h"

#include <QHostAddress>
#include <QStringList>

namespace {

constexpr int MaxPort = 65535;

QString faultsText(const LinkFaults &faults) {
    QStringList parts;
    if (faults.delayMaxMs > 0)
        parts.append(QStringLiteral("delay %1 ms").arg(delayText(faults)));
    if (faults.dropPercent > 0)
        parts.append(QStringLiteral("drop %1 %").arg(faults.dropPercent));
    if (faults.ratePerSecond > 0)
        parts.append(QStringLiteral("%1 bytes/s").arg(faults.ratePerSecond));
    if (faults.cutAfter > 0)
        parts.append(QStringLiteral("cut after %1 bytes").arg(faults.cutAfter));
    return parts.join(QStringLiteral(", "));
}

} // namespace

QString RelayOptions::targetText() const {
    return joinHostPort(targetHost, targetPort);
}

QString parseRelayTarget(const QString &text, RelayOptions &options) {
    const QString trimmed = text.trimmed();
    const qsizetype colon = trimmed.lastIndexOf(u':');
    if (colon <= 0)
        return QStringLiteral("no HOST:PORT");
    QString host = trimmed.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        return QStringLiteral("an IPv6 address goes in brackets: [ADDRESS]:PORT");
    if (host.isEmpty() || host.contains(u' '))
        return QStringLiteral("no host");
    if (host.contains(u':') && QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
        return QStringLiteral("no IPv6 address");
    const std::optional<qint64> port = decimalNumber(QStringView(trimmed).mid(colon + 1), MaxPort);
    if (!port || *port == 0)
        return QStringLiteral("no port from 1 to 65535");
    options.targetHost = host;
    options.targetPort = quint16(*port);
    return {};
}

QString parseDelay(const QString &text, LinkFaults &faults) {
    const qsizetype dash = text.indexOf(u'-');
    const QStringView view(text);
    const std::optional<qint64> low =
        decimalNumber(dash < 0 ? view : view.left(dash), LinkFaults::MaxDelayMs);
    const std::optional<qint64> high =
        dash < 0 ? low : decimalNumber(view.mid(dash + 1), LinkFaults::MaxDelayMs);
    if (!low || !high || *high < *low)
        return QStringLiteral("no delay in ms (MS or MS-MS, at most %1)")
            .arg(LinkFaults::MaxDelayMs);
    faults.delayMinMs = int(*low);
    faults.delayMaxMs = int(*high);
    return {};
}

QString parseDropPercent(const QString &text, LinkFaults &faults) {
    const std::optional<qint64> percent = decimalNumber(text, 100);
    if (!percent)
        return QStringLiteral("no percentage from 0 to 100");
    faults.dropPercent = int(*percent);
    return {};
}

QString parseRate(const QString &text, LinkFaults &faults) {
    const std::optional<qint64> rate = decimalNumber(text, LinkFaults::MaxRate);
    if (!rate)
        return QStringLiteral("no number of bytes per second");
    faults.ratePerSecond = *rate;
    return {};
}

QString parseCut(const QString &text, LinkFaults &faults) {
    const std::optional<qint64> bytes = decimalNumber(text, std::numeric_limits<qint64>::max());
    if (!bytes)
        return QStringLiteral("no number of bytes");
    faults.cutAfter = *bytes;
    return {};
}

QString delayText(const LinkFaults &faults) {
    if (faults.delayMaxMs == faults.delayMinMs)
        return QString::number(faults.delayMinMs);
    return QString::number(faults.delayMinMs) + u'-' + QString::number(faults.delayMaxMs);
}

QString linkFaultsText(const RelayOptions &options) {
    QStringList parts;
    if (options.up == options.down) {
        if (options.up.any())
            parts.append(faultsText(options.up));
    } else {
        if (options.up.any())
            parts.append(QStringLiteral("up: ") + faultsText(options.up));
        if (options.down.any())
            parts.append(QStringLiteral("down: ") + faultsText(options.down));
    }
    for (const Fault &fault : options.faults) {
        if (!fault.enabled)
            continue;
        QString part = fault.name + (fault.up ? QStringLiteral(" up: ") : QStringLiteral(" down: "))
                       + faultActionText(fault);
        if (!fault.after.watch.isEmpty())
            part += QStringLiteral(" after a match");
        parts.append(part);
    }
    return parts.isEmpty() ? QString()
                           : QStringLiteral(" (") + parts.join(QStringLiteral("; ")) + u')';
}

QString relayStatusText(const RelayOptions &options, int pairsOpen) {
    if (!options.active())
        return {};
    return QStringLiteral(", relaying to %1, %2 %3 open")
               .arg(options.targetText())
               .arg(pairsOpen)
               .arg(pairsOpen == 1 ? QStringLiteral("pair") : QStringLiteral("pairs"))
           + linkFaultsText(options);
}
