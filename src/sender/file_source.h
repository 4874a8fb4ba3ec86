#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class QSocketNotifier;

// The bytes of a file to send, read as they come: a regular file up to the size it has when
// opened; anything else that can be read (a pipe, a FIFO, a /proc file whose size reads 0) to
// its end; a device, which may never end, only up to a bound given. Reads never block once the
// file is open (opening a FIFO waits for its writer, as any reader of one does).
class FileSource final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FileSource)

public:
    explicit FileSource(QObject *parent = nullptr);
    ~FileSource() override;

    // Why the file cannot be sent, or nothing once it is open. `maxBytes` bounds any kind.
    std::optional<QString> open(const QString &path, std::optional<qint64> maxBytes);
    void close();
    // What will be read in all; -1 while only the end will tell.
    qint64 total() const { return m_total; }
    qint64 taken() const { return m_taken; }
    bool atEnd() const { return m_end; }

    // Up to `size` of the bytes there now. Empty and not at the end: `readable` comes once
    // more are there. Nothing, with `error` set, when the file cannot be read further.
    std::optional<QByteArray> read(qint64 size);
    QString error() const { return m_error; }
    QString path() const { return m_path; } // as the system writes it

signals:
    void readable();

private:
    QString m_path;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    qint64 m_total = -1;
    qint64 m_limit = 0; // the most that is read
    qint64 m_taken = 0;
    bool m_regular = false;
    bool m_end = false;
    QString m_error;
};
