#pragma once

#include <QByteArray>

#include <deque>
#include <sys/uio.h>

// Bytes waiting to go out as a queue of chunks, the first of them partly written already.

// Points `pieces` at up to `most` chunks from the front, the first past what was written of it;
// returns how many.
int gatherChunks(const std::deque<QByteArray> &queue, qsizetype frontWritten, iovec *pieces,
                 int most);
// Drops the `written` bytes from the front: whole chunks go, a partly written one stays.
void dropWritten(std::deque<QByteArray> &queue, qsizetype &frontWritten, qint64 written);
