#pragma once

class FileSend;
class QProgressDialog;
class QString;
class QWidget;

// "Send File...": the operator picks a file, and a window-modal progress dialog follows its send
// and can cancel it. A file that cannot be read is told by the core's message box.
void sendFileWithProgress(QWidget *parent, FileSend &send);

// The send of `path` under way, with its progress dialog (deleted when the send has finished);
// nothing when it did not start or has already finished.
QProgressDialog *followFileSend(QWidget *parent, FileSend &send, const QString &path);
