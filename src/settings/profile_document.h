#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace ProfileFile {

// A settings file edited as a batch: read once, each setValue follows the rules of a single
// writeValue on the text held so far, so a batch gives the bytes the single writes in the same
// order would, and save() replaces the file once, atomically, and only when a byte changed.
// Values go in and out as UTF-8; a file that is not UTF-8 holds them as Windows-1252.
class Document {
public:
    // A missing file reads as an empty one. False, with `problem` saying why, when a file that
    // exists cannot be read completely (too large, not a regular file); save() then refuses.
    bool load(const QString &path, QString *problem = nullptr);

    // The value readValue would give if the text held now were the file.
    std::optional<QByteArray> value(QByteArrayView section, QByteArrayView key) const;

    // `key` set to `value` verbatim. False, with nothing changed, when an argument holds CR, LF
    // or NUL, or when the file would grow too large to be read back.
    bool setValue(QByteArrayView section, QByteArrayView key, QByteArrayView value,
                  QString *problem = nullptr);

    // The whole text held now, as bytes, and all of it replaced: for a file its owner keeps whole.
    const QByteArray &text() const { return m_text; }
    void setWholeText(QByteArray text) { setText(std::move(text)); }

    // Fails, leaving the file as it was, when it was not read, its folder is missing or saving
    // fails.
    bool save(QString *problem = nullptr);

private:
    void setText(QByteArray text);

    QString m_path;
    QString m_loadProblem;
    bool m_loaded = false;
    QByteArray m_saved; // the file as it is on disk, as far as this document knows
    QByteArray m_text;  // with the values set since
    bool m_utf8 = true; // whether m_text is valid UTF-8
};

} // namespace ProfileFile
