#include "log/receive_log.h"

#include "model/form.h"
#include "runtime/date_time_text.h"
#include "runtime/paths.h"
#include "runtime/write_failure.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr qsizetype TimeStampWidth = 23;
constexpr qsizetype SingleWriteLimit = 64 * 1024;
const QByteArray FirstLineDashes(73, '-');
const QByteArray ClosingPiece =
    QByteArrayLiteral("\r\n") + QByteArray(96, '-') + QByteArrayLiteral("\r\n\r\n");

// The date-time text fitted to exactly 23 characters: its tail, padded on the right with '-'.
QByteArray timeStampField(const QString &dateTime) {
    return dateTime.trimmed().right(TimeStampWidth).leftJustified(TimeStampWidth, u'-').toUtf8();
}

bool writeAll(QFile &file, const QByteArray &bytes) {
    return file.write(bytes) == bytes.size();
}

} // namespace

namespace ReceiveLog {

LogResult LogReceivedData(const QString &folder, const QByteArray &data, const QDateTime &when) {
    LogResult result;
    const QString base = withFinalSeparator(folder);
    result.fileName =
        base + QStringLiteral("SendrelLog_") + LogDateText(when.date()) + QStringLiteral(".txt");

    if (!FolderExists(base) && !QDir().mkpath(base)) {
        result.reason = QStringLiteral("the folder cannot be created");
        return result;
    }

    QFile file(result.fileName);
    // Unbuffered, so a full disk shows on the write itself instead of being reported at close.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        result.reason = file.errorString();
        return result;
    }
    const qint64 lengthBefore = file.size();
    const QByteArray firstLine =
        timeStampField(dateTimeText(when)) + FirstLineDashes + QByteArrayLiteral("\r\n");
    bool written = false;
    if (data.size() <= SingleWriteLimit) // one system call for the many small entries of a flood
        written = writeAll(file, firstLine + data + ClosingPiece);
    else // no copy of a large chunk
        written = writeAll(file, firstLine) && writeAll(file, data) && writeAll(file, ClosingPiece);
    if (!written) {
        result.reason = writeFailureReason(file);
        // A cut entry would run into the next entry's header.
        file.resize(lengthBefore);
        return result;
    }
    file.close();
    if (file.error() != QFileDevice::NoError) {
        result.reason = file.errorString();
        return result;
    }
    result.written = true;
    return result;
}

void LogReceivedData(Form &form, const QString &baseFolder, const QByteArray &data,
                     const QDateTime &when) {
    Control &box = form.txtLogPath;
    // With a separator added, an empty box would name the filesystem root.
    if (box.Text().isEmpty()) {
        box.setForeColour(ForeColour::Error);
        box.setToolTip(QStringLiteral("No log folder given"));
        return;
    }
    box.setText(withFinalSeparator(box.Text()));
    const LogResult result = LogReceivedData(absoluteFolder(box.Text(), baseFolder), data, when);
    if (result.written) {
        box.setForeColour(ForeColour::Design);
        box.setToolTip(QString());
        return;
    }
    box.setForeColour(ForeColour::Error);
    box.setToolTip(QStringLiteral("The received data was not logged to %1: %2")
                       .arg(QDir::toNativeSeparators(result.fileName), result.reason));
}

bool FolderExists(const QString &path) {
    return QFileInfo(path).isDir();
}

QString LogDateText(const QDate &when) {
    return QStringLiteral("%1%2%3")
        .arg(when.month(), 2, 10, QLatin1Char('0'))
        .arg(when.day(), 2, 10, QLatin1Char('0'))
        .arg(when.year());
}

} // namespace ReceiveLog
