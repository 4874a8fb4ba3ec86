#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// An INI file read and edited the way the Windows profile calls do: the file is re-read on
// every call, the first duplicate section or key wins, names match without regard to case,
// ';' starts a comment ('#' does not), CR, LF and CRLF all end a line, and an edit changes
// only the line it touches. Everything works on bytes; nothing is cached (a Document holds a
// batch of edits that is written once).
namespace ProfileFile {

// Larger files are neither read nor rewritten.
inline constexpr qsizetype MaxBytes = 1024 * 1024;

// The value of `key` in the first section named `section`, trimmed and with one matching pair
// of outer quotes removed; nothing when the file, the section or the key is missing.
std::optional<QByteArray> findValue(const QByteArray &text, QByteArrayView section,
                                    QByteArrayView key);

// `text` with `key` set to `value` verbatim: an existing key is replaced in place, a new key
// follows the section's last key line, a new section goes at the end. Nothing when an argument
// holds CR, LF or NUL, which would add lines of their own.
std::optional<QByteArray> withValue(const QByteArray &text, QByteArrayView section,
                                    QByteArrayView key, QByteArrayView value);

// `value` as it must be written for findValue to give it back unchanged: inside double quotes
// when it begins or ends with a blank, or begins and ends with the same quote mark.
QByteArray quotedWhereNeeded(QByteArrayView value);

// Values go in and out as UTF-8; a file that is not UTF-8 holds them as Windows-1252. When a
// file that exists cannot be read or written, `problem` says why.
std::optional<QByteArray> readValue(const QString &path, QByteArrayView section, QByteArrayView key,
                                    QString *problem = nullptr);

// Replaces the file atomically. Fails, leaving the file as it was, when the file cannot be read
// completely (too large, not a regular file), when the result would be too large to read, when
// its folder is missing, or when saving fails.
bool writeValue(const QString &path, QByteArrayView section, QByteArrayView key,
                QByteArrayView value, QString *problem = nullptr);

} // namespace ProfileFile
