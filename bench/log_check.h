#pragma once

#include <QString>

#include <cstddef>
#include <functional>

// What a receive log holds: its entries walked one by one, each entry's data handed on.
struct LogContents {
    qint64 entries = 0;
    qint64 dataBytes = 0;
    qint64 fileBytes = 0;
    QString problem; // empty when every entry had the expected frame

    // Entry frame: a 96-character first line and CR LF before the data; CR LF, 96 '-',
    // CR LF, CR LF after it.
    static constexpr qint64 FrameBytes = 98 + 102;

    static LogContents read(const QString &path,
                            const std::function<void(const char *, std::size_t)> &onData = {});
};
