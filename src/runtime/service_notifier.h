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

// The text with every control character other than a line break (C0, DEL, C1) as \xHH, so bytes a
// peer chose can neither start a forged journal entry nor drive a terminal.
QString escapedControls(const QString &text);

// The priorities the journal reads from a leading "<N>".
enum class LinePriority : int { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// One line for standard error, line break included; every line the program writes there is
// made here: on one line, its control characters escaped. The journal stamps its entries
// itself and takes the priority from a leading "<N>"; elsewhere a valid `stamp` goes first.
QString errorLine(const QString &text, LinePriority priority, bool underJournal,
                  const QDateTime &stamp);
// A status line: an error at priority "err", any other at "info", stamped with `now`.
QString statusLine(const QString &text, bool error, bool underJournal, const QDateTime &now);
// Qt's own messages and the program's logging categories go out through errorLine too.
void sendQtMessagesThroughErrorLine();
