#pragma once

#include "app/command_line.h"

#include <QObject>
#include <memory>

class MainWindow;

// The window's own form, unshown: the command line is applied to its controls as an operator
// would, then Start (or Send Data) is pressed. Everything after that is the window's handlers;
// this class only watches and prints: received bytes on stdout, what the window shows on stderr.
class HeadlessRun final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HeadlessRun)

public:
    explicit HeadlessRun(const CommandLine &line);
    ~HeadlessRun() override;

    // The exit status. A send returns when it has ended; a listener runs until stop() or
    // until something stops it underneath (1).
    int exec();
    // Stop pressed, then the event loop left with 0.
    void stop();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyOptions();
    int listen();
    int send();
    void writeChunk(const QByteArray &bytes) const;
    void printLine(const QString &text, bool error) const;
    void checkWindow();

    CommandLine m_line;
    std::unique_ptr<MainWindow> m_window;
    bool m_listening = false;
    // What was printed last of lblStatus(0), lblSendIP and the log box's failure tip.
    QString m_status;
    QString m_target;
    QString m_logFailure;
};
