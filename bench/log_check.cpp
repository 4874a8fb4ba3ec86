#include "log_check.h"

#include <QFile>

#include <cstring>
#include <string.h>

namespace {

constexpr qint64 FirstLineWidth = 96;
constexpr qint64 TimeStampWidth = 23;

const QByteArray ClosingPiece =
    QByteArrayLiteral("\r\n") + QByteArray(96, '-') + QByteArrayLiteral("\r\n\r\n");

bool isFirstLine(const char *line) {
    for (qint64 i = TimeStampWidth; i < FirstLineWidth; ++i) {
        if (line[i] != '-')
            return false;
    }
    return line[FirstLineWidth] == '\r' && line[FirstLineWidth + 1] == '\n';
}

} // namespace

LogContents LogContents::read(const QString &path,
                              const std::function<void(const char *, std::size_t)> &onData) {
    LogContents contents;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        contents.problem = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return contents;
    }
    contents.fileBytes = file.size();
    if (contents.fileBytes == 0)
        return contents;
    const uchar *mapped = file.map(0, contents.fileBytes);
    if (!mapped) {
        contents.problem = QStringLiteral("cannot map %1").arg(path);
        return contents;
    }
    const char *begin = reinterpret_cast<const char *>(mapped);
    const char *end = begin + contents.fileBytes;
    const char *at = begin;
    while (at < end) {
        if (end - at < FirstLineWidth + 2 || !isFirstLine(at)) {
            contents.problem = QStringLiteral("no entry header at byte %1").arg(at - begin);
            break;
        }
        const char *data = at + FirstLineWidth + 2;
        const void *closing = memmem(data, std::size_t(end - data), ClosingPiece.constData(),
                                     std::size_t(ClosingPiece.size()));
        if (!closing) {
            contents.problem = QStringLiteral("entry at byte %1 is not closed").arg(at - begin);
            break;
        }
        const std::size_t length = std::size_t(static_cast<const char *>(closing) - data);
        if (onData)
            onData(data, length);
        ++contents.entries;
        contents.dataBytes += qint64(length);
        at = data + length + ClosingPiece.size();
    }
    file.unmap(const_cast<uchar *>(mapped));
    return contents;
}
