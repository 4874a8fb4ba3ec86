#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <vector>

class Form;
class TrafficCounters;

// What became of one log entry.
struct LogResult {
    bool written = false;
    QString fileName; // the day's log file
    QString reason;   // why the entry was not written
};

// The daily log of received data: one file per local day in a folder.
namespace ReceiveLog {

// Appends one entry holding exactly `data`, stamped with `when`, to the day's file in `folder`
// (created with its missing parents). An entry that cannot be written whole is taken back, so
// the file stays a sequence of whole entries.
// `mark`, when given, goes on the entry's first line after the time (a relayed chunk's ends).
LogResult LogReceivedData(const QString &folder, const QByteArray &data, const QDateTime &when,
                          const QString &mark = {});

// One entry of LogReceivedEntries, as LogReceivedData takes it.
struct Entry {
    QString folder;
    QByteArray data;
    QDateTime when;
    QString mark;
};

// Appends the entries in order, each as LogReceivedData would: those going to the same file
// with one open and as few system calls as the system allows. One result per entry.
std::vector<LogResult> LogReceivedEntries(const std::vector<Entry> &entries);

bool FolderExists(const QString &path);
QString LogDateText(const QDate &when);

} // namespace ReceiveLog

// The receive path's log step and whether the log is failing. The log folder box gains its
// final separator, the entry goes to the folder it names (a leading "~" is the home folder; a
// relative folder is taken from `baseFolder`). An empty box names no folder: nothing is written.
// A failed entry is announced with its reason, and so is the first entry written after it.
// Entries that come inside a delivery batch are written together at its end.
class ReceiveLogger final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReceiveLogger)

public:
    // At most this many entries, or this many bytes of them, wait for their batch's end.
    static constexpr int MaxWaitingEntries = 256;
    static constexpr qint64 MaxWaitingBytes = 4 << 20;

    ReceiveLogger(Form &form, TrafficCounters &traffic, QString baseFolder,
                  QObject *parent = nullptr);
    ~ReceiveLogger() override;

    void log(const QByteArray &data, const QDateTime &when, const QString &mark = {});
    // Why the last entry was not written; empty while it was.
    const QString &failure() const { return m_failure; }

signals:
    // `reason` is empty once an entry is written again.
    void failureChanged(const QString &reason);

private:
    void writeWaiting();
    void tell(const LogResult &result);
    void setFailure(const QString &reason);

    Form &m_form;
    TrafficCounters &m_traffic;
    QString m_baseFolder;
    QString m_failure;
    std::vector<ReceiveLog::Entry> m_waiting;
    qint64 m_waitingBytes = 0;
};
