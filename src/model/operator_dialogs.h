#pragma once

#include <QByteArray>
#include <QString>

// What the core asks of the operator. The window answers with a dialog; the command line, with
// nobody to ask, writes the text to stderr and gives the default answer.
class OperatorDialogs {
public:
    virtual ~OperatorDialogs() = default;
    // A message with one OK button; returns once it is answered.
    virtual void MessageBox(const QString &text) = 0;
    // A settings file that cannot be read or saved, already told on stderr.
    virtual void TellProblem(const QString &problem) { MessageBox(problem); }
    // A folder from the system's folder picker, titled `title`; empty when cancelled.
    virtual QString BrowseForFolder(const QString &title) = 0;
    // The passphrase of a protected TLS key file; empty when cancelled or nobody can be asked.
    virtual QByteArray AskPassphrase(const QString & /*keyFile*/) { return {}; }
};
