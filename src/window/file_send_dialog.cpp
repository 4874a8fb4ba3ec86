#include "window/file_send_dialog.h"

#include "sender/file_send.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>

namespace {

// The bar moves in thousandths: a modal progress dialog processes events on every new value,
// which must stay rare and happen from the event loop, never inside the send's own handler.
constexpr int Steps = 1000;

} // namespace

void sendFileWithProgress(QWidget *parent, FileSend &send) {
    const QString path = QFileDialog::getOpenFileName(parent, QStringLiteral("Send File"));
    if (!path.isEmpty())
        followFileSend(parent, send, path);
}

QProgressDialog *followFileSend(QWidget *parent, FileSend &send, const QString &path) {
    if (!send.start(path) || !send.running())
        return nullptr;
    const QString sending = QStringLiteral("Sending %1").arg(QFileInfo(path).fileName());
    auto *dialog = new QProgressDialog(sending, QStringLiteral("&Cancel"), 0, Steps, parent);
    dialog->setObjectName(QStringLiteral("fileSendProgress"));
    dialog->setWindowTitle(QStringLiteral("Send File"));
    dialog->setAccessibleName(QStringLiteral("Send File"));
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setMinimumDuration(0);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    if (auto *bar = dialog->findChild<QProgressBar *>())
        bar->setAccessibleName(QStringLiteral("Part of the file sent"));
    if (auto *button = dialog->findChild<QPushButton *>())
        button->setAccessibleName(QStringLiteral("Cancel the file send"));
    QObject::connect(dialog, &QProgressDialog::canceled, &send, &FileSend::cancel);
    QObject::connect(
        &send, &FileSend::progress, dialog,
        [dialog, sending](qint64 sent, qint64 total) {
            // A pipe's end is not known before it comes: the bar only shows that bytes go.
            if (total < 0) {
                dialog->setRange(0, 0);
                dialog->setLabelText(QStringLiteral("%1: %2 bytes").arg(sending).arg(sent));
                return;
            }
            const int step = total > 0 ? int(sent * Steps / total) : Steps;
            if (step != dialog->value())
                dialog->setValue(step);
        },
        Qt::QueuedConnection);
    QObject::connect(
        &send, &FileSend::stalled, dialog,
        [dialog, sending](int seconds) {
            dialog->setLabelText(seconds > 0
                                     ? QStringLiteral("Stalled: no progress for %1 s").arg(seconds)
                                     : sending);
        },
        Qt::QueuedConnection);
    QObject::connect(&send, &FileSend::finished, dialog, &QObject::deleteLater);
    dialog->show();
    return dialog;
}
