#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QString>

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
LogResult LogReceivedData(const QString &folder, const QByteArray &data, const QDateTime &when);

bool FolderExists(const QString &path);
bool FileExists(const QString &path);
QString LogDateText(const QDate &when);

} // namespace ReceiveLog
