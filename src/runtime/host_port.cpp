#include "runtime/host_port.h"

#include "runtime/leading_number.h"

bool splitHostPort(const QString &text, QString &host, int &port) {
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon < 0)
        return false;
    host = text.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        return false;
    const std::optional<qint64> number = decimalNumber(text.mid(colon + 1), 65535);
    port = number && *number >= 1 ? int(*number) : 0;
    return port != 0 && !host.isEmpty();
}

QString joinHostPort(const QString &host, int port) {
    return (host.contains(u':') ? u'[' + host + u']' : host) + u':' + QString::number(port);
}
