#include "log/receive_log.h"

#include "model/form.h"
#include "model/traffic_counters.h"
#include "runtime/date_time_text.h"
#include "runtime/delivery_batch.h"
#include "runtime/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
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

// The day's file, open for appending only while entries are written.
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

// The day's file in `base`, opened for appending, its folder made when missing; false with the
// reason when it cannot be. The folder is looked at only when the file cannot be opened in it:
// most entries go to a folder that is there.
bool openDayFile(std::optional<AppendFile> &file, const QString &base, const QByteArray &path,
                 QString &reason) {
    file.emplace(path);
    const int openError = file->openError();
    if ((openError == ENOENT || openError == ENOTDIR) && !ReceiveLog::FolderExists(base)) {
        if (!QDir().mkpath(base)) {
            reason = QStringLiteral("the folder cannot be created");
            return false;
        }
        file.emplace(path);
    }
    if (!file->isOpen()) {
        reason = qt_error_string(file->openError());
        return false;
    }
    return true;
}

QByteArray firstLineOf(const ReceiveLog::Entry &entry) {
    return timeStampField(dateTimeText(entry.when))
           + (entry.mark.isEmpty() ? FirstLineDashes : markedDashes(entry.mark))
           + QByteArrayLiteral("\r\n");
}

// Entries [from, to) are in the file once it closes without a failure.
void keepWritten(AppendFile &file, std::size_t from, std::size_t to,
                 std::vector<LogResult> &results) {
    const bool closed = file.close();
    const QString reason = closed ? QString() : systemReason(errno);
    for (std::size_t k = from; k < to; ++k) {
        results[k].written = closed;
        results[k].reason = reason;
    }
}

// Entries whose three pieces fit in one writev.
constexpr std::size_t EntriesPerWrite = IOV_MAX / 3;

// Appends entries [from, to), all for the same file, with one open: as many whole entries to a
// system call as it takes, without copying their data. An entry the file stops taking is cut
// back, so the file stays a sequence of whole entries; the ones after it are tried one by one.
void appendGroup(const std::vector<ReceiveLog::Entry> &entries, std::size_t from, std::size_t to,
                 const QString &base, std::vector<LogResult> &results) {
    const QByteArray path = QFile::encodeName(results[from].fileName);
    std::optional<AppendFile> file;
    QString reason;
    if (!openDayFile(file, base, path, reason)) {
        for (std::size_t k = from; k < to; ++k)
            results[k].reason = reason;
        return;
    }
    std::vector<QByteArray> firstLines(std::min(to - from, EntriesPerWrite));
    std::vector<iovec> pieces(3 * firstLines.size());
    std::size_t whole = from; // entries before this one are in the file
    while (whole < to) {
        const std::size_t stop = std::min(to, whole + EntriesPerWrite);
        for (std::size_t k = whole; k < stop; ++k) {
            QByteArray &line = firstLines[k - whole];
            line = firstLineOf(entries[k]);
            const QByteArray &data = entries[k].data;
            iovec *piece = &pieces[3 * (k - whole)];
            piece[0] = {line.data(), std::size_t(line.size())};
            piece[1] = {const_cast<char *>(data.constData()), std::size_t(data.size())};
            piece[2] = {const_cast<char *>(ClosingPiece.constData()),
                        std::size_t(ClosingPiece.size())};
        }
        qint64 written = 0;
        if (!file->writeAll(pieces.data(), int(3 * (stop - whole)), written)) {
            const QString why = systemReason(errno);
            // What the call took whole stands; the entry it cut is taken back.
            qint64 covered = 0;
            std::size_t cut = whole;
            for (; cut < stop; ++cut) {
                const qint64 size =
                    firstLines[cut - whole].size() + entries[cut].data.size() + ClosingPiece.size();
                if (covered + size > written)
                    break;
                covered += size;
            }
            file->cutBack(written - covered);
            results[cut].reason = why;
            keepWritten(*file, from, cut, results);
            // The rest are tried one by one, as each would be alone.
            for (std::size_t k = cut + 1; k < to; ++k)
                results[k] = ReceiveLog::LogReceivedData(entries[k].folder, entries[k].data,
                                                         entries[k].when, entries[k].mark);
            return;
        }
        whole = stop;
    }
    keepWritten(*file, from, to, results);
}

} // namespace

namespace ReceiveLog {

LogResult LogReceivedData(const QString &folder, const QByteArray &data, const QDateTime &when,
                          const QString &mark) {
    return LogReceivedEntries({{folder, data, when, mark}}).front();
}

std::vector<LogResult> LogReceivedEntries(const std::vector<Entry> &entries) {
    std::vector<LogResult> results(entries.size());
    for (std::size_t from = 0; from < entries.size();) {
        const Entry &first = entries[from];
        const QString base = withFinalSeparator(first.folder);
        const QString fileName = base + QStringLiteral("SendrelLog_")
                                 + LogDateText(first.when.date()) + QStringLiteral(".txt");
        std::size_t to = from;
        for (; to < entries.size() && entries[to].folder == first.folder
               && entries[to].when.date() == first.when.date();
             ++to)
            results[to].fileName = fileName;
        appendGroup(entries, from, to, base, results);
        from = to;
    }
    return results;
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

// What still waits is written, though nobody is told any more.
ReceiveLogger::~ReceiveLogger() {
    DeliveryBatch::forget(this);
    ReceiveLog::LogReceivedEntries(m_waiting);
}

void ReceiveLogger::log(const QByteArray &data, const QDateTime &when, const QString &mark) {
    Control &box = m_form.txtLogPath;
    // With a separator added, an empty box would name the filesystem root.
    if (box.Text().isEmpty()) {
        writeWaiting(); // told in the order they came
        m_traffic.countLogEntry(false);
        setFailure(QStringLiteral("No log folder given"));
        return;
    }
    setLogFolder(m_form, box.Text());
    ReceiveLog::Entry entry{absoluteFolder(box.Text(), m_baseFolder), data, when, mark};
    if (!DeliveryBatch::flushAtEnd(this, [this] { writeWaiting(); })) {
        tell(ReceiveLog::LogReceivedEntries({std::move(entry)}).front());
        return;
    }
    m_waitingBytes += data.size();
    m_waiting.push_back(std::move(entry));
    if (qsizetype(m_waiting.size()) >= MaxWaitingEntries || m_waitingBytes >= MaxWaitingBytes)
        writeWaiting();
}

void ReceiveLogger::writeWaiting() {
    if (m_waiting.empty())
        return;
    const std::vector<ReceiveLog::Entry> entries = std::exchange(m_waiting, {});
    m_waitingBytes = 0;
    for (const LogResult &result : ReceiveLog::LogReceivedEntries(entries))
        tell(result);
}

void ReceiveLogger::tell(const LogResult &result) {
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
