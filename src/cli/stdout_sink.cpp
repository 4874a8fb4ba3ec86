#include "cli/stdout_sink.h"

#include "runtime/chunk_queue.h"
#include "runtime/delivery_batch.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

namespace {

// Queued chunks handed to one system call; well under IOV_MAX.
constexpr int ChunksPerWrite = 64;

} // namespace

StdoutSink::StdoutSink(int descriptor, qint64 bound, QObject *parent)
    : QObject(parent), m_descriptor(descriptor), m_bound(bound) {
    struct stat info = {};
    if (::fstat(descriptor, &info) == 0) { // otherwise the first write says why
        m_socket = S_ISSOCK(info.st_mode);
        if (S_ISFIFO(info.st_mode) || ::isatty(descriptor))
            openNonBlocking(descriptor);
    }
    m_notifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Write, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &StdoutSink::writeSome);
}

StdoutSink::~StdoutSink() {
    DeliveryBatch::forget(this);
    delete m_notifier; // before the descriptor it watches is closed
    if (m_ownDescriptor >= 0)
        ::close(m_ownDescriptor);
    if (m_restoreFlags >= 0)
        ::fcntl(m_descriptor, F_SETFL, m_restoreFlags);
}

void StdoutSink::openNonBlocking(int descriptor) {
    // Opening the file again gives a descriptor whose flags nobody else shares.
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(descriptor);
    m_ownDescriptor = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (m_ownDescriptor >= 0) {
        m_descriptor = m_ownDescriptor;
        return;
    }
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0 && !(flags & O_NONBLOCK)
        && ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0)
        m_restoreFlags = flags;
}

void StdoutSink::write(QByteArray bytes) {
    if (m_failed || bytes.isEmpty())
        return;
    if (m_full && m_dropWhenFull) {
        m_dropped += bytes.size();
        if (!std::exchange(m_dropping, true))
            emit droppingStarted();
        return;
    }
    m_pending += bytes.size();
    m_queue.push_back(std::move(bytes));
    // While the notifier is on, the descriptor is known to take nothing. Inside a delivery
    // batch the chunks go out together at its end, or once one write's worth waits.
    const bool waitForBatch =
        m_queue.size() < std::size_t(ChunksPerWrite) && DeliveryBatch::flushAtEnd(this, [this] {
            if (!m_notifier->isEnabled())
                writeSome();
        });
    if (!m_notifier->isEnabled() && !waitForBatch)
        writeSome();
    if (!m_failed && !m_full && m_pending > m_bound) {
        m_full = true;
        emit full();
    }
}

void StdoutSink::writeSome() {
    while (!m_queue.empty()) {
        iovec parts[ChunksPerWrite];
        const int count = gatherChunks(m_queue, m_frontWritten, parts, ChunksPerWrite);
        ssize_t written = 0;
        if (m_socket) {
            msghdr message = {};
            message.msg_iov = parts;
            message.msg_iovlen = size_t(count);
            written = ::sendmsg(m_descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            written = ::writev(m_descriptor, parts, count);
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (written <= 0) {
            fail(written < 0 ? qt_error_string(errno)
                             : QStringLiteral("only part of it could be written"));
            return;
        }
        m_pending -= written;
        dropWritten(m_queue, m_frontWritten, written);
    }
    m_notifier->setEnabled(!m_queue.empty());
    // Reading resumes only well under the bound, so the peer is not stopped and started per chunk.
    if (m_full && m_pending <= m_bound / 4) {
        m_full = false;
        m_dropping = false;
        emit drained();
    }
}

bool StdoutSink::flush(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_failed && !m_queue.empty()) {
        pollfd wanted = {m_descriptor, POLLOUT, 0};
        const int ready = ::poll(&wanted, 1, int(deadline.remainingTime()));
        if (ready == 0 || (ready < 0 && errno != EINTR))
            break;
        if (ready > 0)
            writeSome(); // an error condition shows as the write's own error
    }
    return !m_failed && m_queue.empty();
}

void StdoutSink::fail(const QString &reason) {
    m_failed = true;
    m_queue.clear();
    m_frontWritten = 0;
    m_pending = 0;
    m_full = false;
    m_notifier->setEnabled(false);
    emit failed(reason);
}
