#include "runtime/chunk_queue.h"

int gatherChunks(const std::deque<QByteArray> &queue, qsizetype frontWritten, iovec *pieces,
                 int most) {
    int count = 0;
    for (auto chunk = queue.cbegin(); chunk != queue.cend() && count < most; ++chunk, ++count) {
        const qsizetype skip = count == 0 ? frontWritten : 0;
        pieces[count].iov_base = const_cast<char *>(chunk->constData() + skip);
        pieces[count].iov_len = size_t(chunk->size() - skip);
    }
    return count;
}

void dropWritten(std::deque<QByteArray> &queue, qsizetype &frontWritten, qint64 written) {
    while (written > 0) {
        const qint64 rest = queue.front().size() - frontWritten;
        if (written < rest) {
            frontWritten += written;
            return;
        }
        written -= rest;
        queue.pop_front();
        frontWritten = 0;
    }
}
