#pragma once

class FileSend;
class QWidget;

// "Send File...": the operator picks a file, and a window-modal progress dialog follows its send
// and can cancel it. A file that cannot be read is told by the core's message box.
void sendFileWithProgress(QWidget *parent, FileSend &send);
