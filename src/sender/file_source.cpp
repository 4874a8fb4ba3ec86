#include "sender/file_source.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

FileSource::FileSource(QObject *parent) : QObject(parent) {}

FileSource::~FileSource() {
    close();
}

std::optional<QString> FileSource::open(const QString &path, std::optional<qint64> maxBytes) {
    close();
    m_path = QDir::toNativeSeparators(path);
    m_taken = 0;
    m_end = false;
    m_error.clear();
    int fd = -1;
    do
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return qt_error_string(errno);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        const int error = S_ISDIR(status.st_mode) ? EISDIR : errno;
        ::close(fd);
        return qt_error_string(error);
    }
    const bool device = S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode);
    if (device && !maxBytes) {
        ::close(fd);
        return QStringLiteral("A device may never end, so it is sent only up to a number of "
                              "bytes given");
    }
    m_fd = fd;
    m_regular = S_ISREG(status.st_mode) && status.st_size > 0;
    m_limit = maxBytes.value_or(std::numeric_limits<qint64>::max());
    m_total = m_regular ? qMin<qint64>(status.st_size, m_limit) : -1;
    if (!m_regular) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        m_notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
        m_notifier->setEnabled(false);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            m_notifier->setEnabled(false);
            emit readable();
        });
    }
    m_end = m_taken == m_limit || m_total == 0;
    return std::nullopt;
}

void FileSource::close() {
    delete std::exchange(m_notifier, nullptr);
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

std::optional<QByteArray> FileSource::read(qint64 size) {
    const qint64 left = (m_regular ? m_total : m_limit) - m_taken;
    QByteArray block(qMin(size, left), Qt::Uninitialized);
    if (m_end || block.isEmpty()) {
        m_end = true;
        return QByteArray();
    }
    ssize_t got = -1;
    do
        got = ::read(m_fd, block.data(), size_t(block.size()));
    while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        m_notifier->setEnabled(true);
        return QByteArray();
    }
    if (got < 0 || (got == 0 && m_regular)) {
        m_error = got < 0 ? qt_error_string(errno) : QStringLiteral("The file became shorter");
        return std::nullopt;
    }
    block.truncate(got);
    m_taken += got;
    m_end = got == 0 || m_taken == (m_regular ? m_total : m_limit);
    if (m_end && !m_regular)
        m_total = m_taken;
    return block;
}
