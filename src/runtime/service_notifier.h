#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// Tells the service manager how a run under it stands: readiness and a status line, written
// straight to the datagram socket NOTIFY_SOCKET names (a path, or "@" for an abstract name).
// Nothing here ever blocks or fails the run: without the variable, or when the manager does not
// take a message, the calls do nothing. NOTIFY_SOCKET stays set, as the program starts no
// children that could mistake it for theirs.
class ServiceNotifier {
    Q_DISABLE_COPY_MOVE(ServiceNotifier)

public:
    ServiceNotifier(); // from NOTIFY_SOCKET
    explicit ServiceNotifier(const QByteArray &address);
    ~ServiceNotifier();

    bool enabled() const { return m_socket >= 0; }
    void ready();                     // READY=1: the listener is open
    void status(const QString &text); // STATUS=, on one line
    void stopping();                  // STOPPING=1

private:
    void send(const QByteArray &message);

    int m_socket = -1;
    QByteArray m_address; // sockaddr_un, as long as the name needs
};

// A window's text, line breaks and all, as one line.
QString oneLine(const QString &text);

// Whether standard error is the journal's stream: JOURNAL_STREAM names its device and inode.
bool underJournal();
// The same test for any descriptor against a JOURNAL_STREAM value ("device:inode").
bool isJournalStream(const QByteArray &journalStream, int descriptor);

// One line for standard error, line break included. The journal stamps its entries itself, and
// takes a leading <3> as priority "err" and <6> as "info".
QString statusLine(const QString &text, bool error, bool underJournal, const QDateTime &now);
