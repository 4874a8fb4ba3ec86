#pragma once

#include <QAbstractSocket>
#include <QLoggingCategory>
#include <QString>

// Where the socket control logs what Qt gave as the reason of a failure that its caller sees
// only as false.
Q_DECLARE_LOGGING_CATEGORY(lcNet)

// An error as operators know it from Windows Sockets: number and Microsoft's short text.
struct WinsockError {
    int number = 0;
    QString description;

    bool operator==(const WinsockError &) const = default;
};

// The Windows Sockets error for a Qt socket error; qtText (errorString()) tells the causes
// that Qt lumps together as NetworkError apart.
WinsockError winsockError(QAbstractSocket::SocketError qtError, const QString &qtText);
// The error with the given Windows Sockets number and its text.
WinsockError winsockError(int number);
// The error for what the system answered (errno); number 0, with the system's text, for one that
// Windows Sockets has no number for.
WinsockError winsockErrorForErrno(int error);
// "10013 - Permission denied.", as the status line shows a socket error.
QString failureText(const WinsockError &error);
