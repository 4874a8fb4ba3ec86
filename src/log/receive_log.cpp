#include "log/receive_log.h"

#include "form/controls.h"
#include "runtime/clock.h"
#include "runtime/date_time_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>

namespace {

constexpr qsizetype TimeStampWidth = 23;
constexpr qsizetype SingleWriteLimit = 64 * 1024;
const QByteArray FirstLineDashes(73, '-');
const QByteArray ClosingPiece = QByteArrayLiteral("\r\n") + QByteArray(96, '-')
                                + QByteArrayLiteral("\r\n\r\n");

// The date-time text fitted to exactly 23 characters: its tail, padded on the right with '-'.
QByteArray timeStampField(const QString &dateTime)
{
    return dateTime.trimmed().right(TimeStampWidth).leftJustified(TimeStampWidth, u'-').toUtf8();
}

bool writeAll(QFile &file, const QByteArray &bytes)
{
    return file.write(bytes) == bytes.size();
}

} // namespace

ReceiveLog::ReceiveLog(Controls &controls, const Clock &clock)
    : m_controls(controls), m_clock(clock)
{
}

void ReceiveLog::LogReceivedData(const QByteArray &data)
{
    QLineEdit *pathBox = m_controls.txtLogPath;
    const QChar separator = QDir::separator();
    if (!pathBox->text().endsWith(separator))
        pathBox->setText(pathBox->text() + separator);
    const QString folder = pathBox->text();

    const QDateTime now = m_clock.now();
    const QString fileName =
        folder + QStringLiteral("SendrelLog_") + LogDateText(now.date()) + QStringLiteral(".txt");

    if (!FolderExists(folder) && !QDir().mkpath(folder)) {
        reportFailure(fileName, QStringLiteral("the folder cannot be created"));
        return;
    }

    QFile file(fileName);
    // Unbuffered, so a full disk shows on the write itself instead of being reported at close.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        reportFailure(fileName, file.errorString());
        return;
    }
    const QByteArray firstLine =
        timeStampField(dateTimeText(now)) + FirstLineDashes + QByteArrayLiteral("\r\n");
    bool written = false;
    if (data.size() <= SingleWriteLimit) // one system call for the many small entries of a flood
        written = writeAll(file, firstLine + data + ClosingPiece);
    else // no copy of a large chunk
        written = writeAll(file, firstLine) && writeAll(file, data) && writeAll(file, ClosingPiece);
    const QString reason = file.errorString();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        reportFailure(fileName, written ? file.errorString() : reason);
        return;
    }
    clearFailure();
}

bool ReceiveLog::FolderExists(const QString &path)
{
    return QFileInfo(path).isDir();
}

bool ReceiveLog::FileExists(const QString &path)
{
    return QFileInfo::exists(path);
}

QString ReceiveLog::LogDateText(const QDate &when)
{
    return QStringLiteral("%1%2%3")
        .arg(when.month(), 2, 10, QLatin1Char('0'))
        .arg(when.day(), 2, 10, QLatin1Char('0'))
        .arg(when.year());
}

void ReceiveLog::reportFailure(const QString &fileName, const QString &reason)
{
    QLineEdit *pathBox = m_controls.txtLogPath;
    QPalette palette = pathBox->palette();
    palette.setColor(QPalette::Text, Qt::red);
    pathBox->setPalette(palette);
    pathBox->setToolTip(QStringLiteral("The received data was not logged to %1: %2")
                            .arg(QDir::toNativeSeparators(fileName), reason));
    m_failing = true;
}

void ReceiveLog::clearFailure()
{
    if (!m_failing)
        return;
    m_controls.txtLogPath->setPalette(QPalette());
    m_controls.txtLogPath->setToolTip(QString());
    m_failing = false;
}
