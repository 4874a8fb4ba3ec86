#pragma once

#include <QByteArray>
#include <QString>

// The whole file, or "<missing>" when it cannot be read.
QByteArray fileBytes(const QString &path);
// Replaces the file with exactly `bytes`.
bool writeBytes(const QString &path, const QByteArray &bytes);
