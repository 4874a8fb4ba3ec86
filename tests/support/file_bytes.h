#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// The whole file, or "<missing>" when it cannot be read.
QByteArray fileBytes(const QString &path);
// Replaces the file with exactly `bytes`.
bool writeBytes(const QString &path, const QByteArray &bytes);

// Runs `write` while no file may grow beyond `bytes`, as on a disk that fills up; a write past
// the limit fails instead of raising SIGXFSZ.
void withFileSizeLimit(qint64 bytes, const std::function<void()> &write);
