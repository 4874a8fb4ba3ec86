#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QString>

class Form;

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

// The receive path's log step: the log folder box gains its final separator, the entry goes to
// the folder it names (a leading "~" is the home folder; a relative folder is taken from
// `baseFolder`), and the box shows whether it was written: red, with the reason as its tool
// tip, until an entry is written again. An empty box names no folder: nothing is written.
void LogReceivedData(Form &form, const QString &baseFolder, const QByteArray &data,
                     const QDateTime &when);

bool FolderExists(const QString &path);
QString LogDateText(const QDate &when);

} // namespace ReceiveLog
