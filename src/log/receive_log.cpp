#include "log/receive_log.h"

#include "model/form.h"
#include "model/traffic_counters.h"
#include "runtime/date_time_text.h"
#include "runtime/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr qsizetype TimeStampWidth = 23;
const QByteArray FirstLineDashes(73, '-');
const QByteArray ClosingPiece =
    QByteArrayLiteral("\r\n") + QByteArray(96, '-') + QByteArrayLiteral("\r\n\r\n");

// The date-time text fitted to exactly 23 characters: its tail, padded on the right with '-'.
QByteArray timeStampField(const QString &dateTime) {
    return dateTime.trimmed().right(TimeStampWidth).leftJustified(TimeStampWidth, u'-').toUtf8();
}

// "-- 127.0.0.1:40122 -> 10.0.0.5:502 ---...", as long as the dashes it stands for, or longer.
QByteArray markedDashes(const QString &mark) {
    const QByteArray text = QByteArrayLiteral("-- ") + mark.toUtf8() + ' ';
    return text + QByteArray(std::max<qsizetype>(2, FirstLineDashes.size() - text.size()), '-');
}

// The day's file, open for appending only while one entry is written.
class AppendFile {
public:
    explicit AppendFile(const QByteArray &path)
        : m_fd(::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666)),
          m_openError(m_fd < 0 ? errno : 0) {}
    ~AppendFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int openError() const { return m_openError; }

    // Writes every byte of `pieces` with as few system calls as the system allows; false, with
    // errno set, once the file takes no more. `written` counts what went in.
    bool writeAll(iovec *pieces, int count, qint64 &written) {
        while (count > 0) {
            const ssize_t done = ::writev(m_fd, pieces, count);
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0) {
                if (done == 0)
                    errno = 0;
                return false;
            }
            written += done;
            auto left = std::size_t(done);
            for (; count > 0 && left >= pieces->iov_len; ++pieces, --count)
                left -= pieces->iov_len;
            if (count > 0) {
                pieces->iov_base = static_cast<char *>(pieces->iov_base) + left;
                pieces->iov_len -= left;
            }
        }
        return true;
    }

    // Takes back the last `written` bytes, so the file ends with a whole entry again; false when
    // it cannot be cut (the log may be a link to a device).
    bool cutBack(qint64 written) {
        struct stat status {};
        return written > 0 && ::fstat(m_fd, &status) == 0 && S_ISREG(status.st_mode)
               && status.st_size >= written && ::ftruncate(m_fd, status.st_size - written) == 0;
    }

    // False, with errno set, when the system reports a failure only now.
    bool close() { return ::close(std::exchange(m_fd, -1)) == 0; }

private:
    int m_fd = -1;
    int m_openError = 0;
};

QString systemReason(int error) {
    return error != 0 ? qt_error_string(error) : QStringLiteral("only part of it could be written");
}

} // namespace

namespace ReceiveLog {

LogResult LogReceivedData(const QString &folder, const QByteArray &data, const QDateTime &when,
                          const QString &mark) {
    LogResult result;
    const QString base = withFinalSeparator(folder);
    result.fileName =
        base + QStringLiteral("SendrelLog_") + LogDateText(when.date()) + QStringLiteral(".txt");
    const QByteArray path = QFile::encodeName(result.fileName);

    // The folder is looked at only when the file cannot be opened in it: most entries go to a
    // folder that is there.
    std::optional<AppendFile> file(std::in_place, path);
    const int openError = file->openError();
    if ((openError == ENOENT || openError == ENOTDIR) && !FolderExists(base)) {
        if (!QDir().mkpath(base)) {
            result.reason = QStringLiteral("the folder cannot be created");
            return result;
        }
        file.emplace(path);
    }
    if (!file->isOpen()) {
        result.reason = qt_error_string(file->openError());
        return result;
    }

    const QByteArray firstLine = timeStampField(dateTimeText(when))
                                 + (mark.isEmpty() ? FirstLineDashes : markedDashes(mark))
                                 + QByteArrayLiteral("\r\n");
    // One system call for the whole entry, without copying the data.
    iovec pieces[] = {
        {const_cast<char *>(firstLine.constData()), std::size_t(firstLine.size())},
        {const_cast<char *>(data.constData()), std::size_t(data.size())},
        {const_cast<char *>(ClosingPiece.constData()), std::size_t(ClosingPiece.size())}};
    qint64 written = 0;
    if (!file->writeAll(pieces, 3, written)) {
        result.reason = systemReason(errno);
        // A cut entry would run into the next entry's header.
        file->cutBack(written);
        return result;
    }
    if (!file->close()) {
        result.reason = systemReason(errno);
        return result;
    }
    result.written = true;
    return result;
}

bool FolderExists(const QString &path) {
    return QFileInfo(path).isDir();
}

QString LogDateText(const QDate &when) {
    const int month = when.month();
    const int day = when.day();
    const char16_t text[] = {char16_t(u'0' + month / 10), char16_t(u'0' + month % 10),
                             char16_t(u'0' + day / 10), char16_t(u'0' + day % 10)};
    return QString(reinterpret_cast<const QChar *>(text), 4) + QString::number(when.year());
}

} // namespace ReceiveLog

ReceiveLogger::ReceiveLogger(Form &form, TrafficCounters &traffic, QString baseFolder,
                             QObject *parent)
    : QObject(parent), m_form(form), m_traffic(traffic), m_baseFolder(std::move(baseFolder)) {}

void ReceiveLogger::log(const QByteArray &data, const QDateTime &when, const QString &mark) {
    Control &box = m_form.txtLogPath;
    // With a separator added, an empty box would name the filesystem root.
    if (box.Text().isEmpty()) {
        m_traffic.countLogEntry(false);
        setFailure(QStringLiteral("No log folder given"));
        return;
    }
    setLogFolder(m_form, box.Text());
    const LogResult result =
        ReceiveLog::LogReceivedData(absoluteFolder(box.Text(), m_baseFolder), data, when, mark);
    m_traffic.countLogEntry(result.written);
    setFailure(result.written ? QString()
                              : QStringLiteral("The received data was not logged to %1: %2")
                                    .arg(QDir::toNativeSeparators(result.fileName), result.reason));
}

void ReceiveLogger::setFailure(const QString &reason) {
    if (reason == m_failure)
        return;
    m_failure = reason;
    emit failureChanged(m_failure);
}
