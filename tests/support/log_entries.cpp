#include "support/log_entries.h"

#include <QFile>

namespace {

constexpr qsizetype HeaderSize = 98; // time stamp field, 73 dashes, CR LF
const QByteArray Trailer = "\r\n" + QByteArray(96, '-') + "\r\n\r\n";

} // namespace

QByteArray logEntry(const QByteArray &stamp, const QByteArray &data) {
    return stamp + QByteArray(96 - stamp.size(), '-') + "\r\n" + data + Trailer;
}

QByteArray loggedData(const QString &file) {
    QFile log(file);
    if (!log.open(QIODevice::ReadOnly))
        return "<no log>";
    const QByteArray bytes = log.readAll();
    QByteArray data;
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype end = bytes.indexOf(Trailer, at + HeaderSize);
        if (end < 0)
            return "<torn entry>";
        data += bytes.mid(at + HeaderSize, end - at - HeaderSize);
        at = end + Trailer.size();
    }
    return data;
}
