#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// Settings files written on Windows hold text in its ANSI code page, Windows-1252. A file that
// is not valid UTF-8 is taken to be one; every byte maps to a character and back, so a value
// that nobody edits survives byte for byte.
namespace Windows1252 {

bool isUtf8(QByteArrayView bytes);
QByteArray toUtf8(QByteArrayView bytes);
// Nothing when a character has no Windows-1252 byte.
std::optional<QByteArray> fromUtf8(QByteArrayView utf8);

} // namespace Windows1252
