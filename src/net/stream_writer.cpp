#include "net/stream_writer.h"

#include "runtime/chunk_queue.h"

#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace {

constexpr int MaxWritePieces = 64;

} // namespace

StreamWriter::StreamWriter(int descriptor, QObject *parent)
    : QObject(parent), m_descriptor(descriptor) {
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
}

void StreamWriter::start() {
    if (m_notifier || m_error != 0)
        return;
    m_notifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Write, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &StreamWriter::onWritable);
    // What waits goes from the event loop, which tells what was taken.
    m_notifier->setEnabled(!m_out.empty() || (m_closeWriting && !m_writeClosed));
}

bool StreamWriter::write(const QByteArray &data) {
    if (m_error != 0 || m_closeWriting)
        return false;
    if (data.isEmpty())
        return true;
    m_out.push_back(data);
    m_waiting += data.size();
    return !m_notifier || m_out.size() > 1 || flush() >= 0;
}

void StreamWriter::onWritable() {
    if (const qint64 taken = flush(); taken > 0)
        emit bytesWritten(taken);
}

qint64 StreamWriter::flush() {
    if (!m_notifier)
        return 0;
    qint64 taken = 0;
    while (!m_out.empty()) {
        std::array<iovec, MaxWritePieces> pieces{};
        const int count = gatherChunks(m_out, m_outOffset, pieces.data(), MaxWritePieces);
        msghdr message{};
        message.msg_iov = pieces.data();
        message.msg_iovlen = std::size_t(count);
        const ssize_t sent = ::sendmsg(m_descriptor, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            const int error = errno;
            stop();
            m_error = error;
            // Told from the event loop: the caller of write is still busy with this stream.
            QTimer::singleShot(0, this, [this, error] { emit failed(error); });
            return -1;
        }
        m_waiting -= sent;
        m_taken += sent;
        taken += sent;
        dropWritten(m_out, m_outOffset, sent);
    }
    m_notifier->setEnabled(!m_out.empty());
    if (m_out.empty() && m_closeWriting && !m_writeClosed) {
        m_writeClosed = true;
        ::shutdown(m_descriptor, SHUT_WR);
    }
    return taken;
}

void StreamWriter::closeWriting() {
    if (m_closeWriting || m_error != 0)
        return;
    m_closeWriting = true;
    flush();
}

void StreamWriter::stop() {
    if (m_notifier)
        m_notifier->setEnabled(false);
    m_out.clear();
    m_outOffset = 0;
    m_waiting = 0;
    m_closeWriting = true;
}
